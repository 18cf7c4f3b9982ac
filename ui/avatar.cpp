#include "ui/avatar.h"

#include <QBuffer>
#include <QImageReader>

#include "vaultra/identity_lookup.h"

namespace dialo {
namespace {

constexpr int kPictureSide = 128;                 // pixels
constexpr size_t kPictureMinBytes = 16;
constexpr size_t kPictureMaxBytes = 2u << 20;     // 2 MiB, exclusive
constexpr int kDecodeLimitMiB = 64;               // a small file may claim a huge picture

}  // namespace

QImage avatarPicture(const Bytes& bytes) {
    if (bytes.size() < kPictureMinBytes || bytes.size() >= kPictureMaxBytes) return {};
    // Only the reader of the format the bytes claim: Qt would otherwise try every plugin it has.
    const char* format = avatar_format(bytes);
    if (format == nullptr) return {};
    QByteArray data(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    reader.setAutoDetectImageFormat(false);
    reader.setAllocationLimit(kDecodeLimitMiB);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > kPictureSide || size.height() > kPictureSide))
        reader.setScaledSize(size.scaled(kPictureSide, kPictureSide, Qt::KeepAspectRatio));
    QImage image = reader.read();
    if (image.isNull()) return {};
    if (image.width() > kPictureSide || image.height() > kPictureSide)
        image = image.scaled(kPictureSide, kPictureSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image.convertToFormat(QImage::Format_RGBA8888);
}

}  // namespace dialo
