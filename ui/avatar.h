#pragma once
// A caller's or contact's picture from the bytes the identity lookup caches.

#include <QImage>

#include "base/bytes.h"

namespace dialo {

/// At most 128 x 128 pixels, RGBA, or a null image when `bytes` are not 16 bytes to under 2 MiB
/// of a PNG or JPEG picture Qt can decode without claiming more memory than such a picture needs.
QImage avatarPicture(const Bytes& bytes);

}  // namespace dialo
