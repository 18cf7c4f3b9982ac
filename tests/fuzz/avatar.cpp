// The avatar picture from the bytes the identity look-up fetched, decoded by Qt's readers.
#include <cstdlib>
#include <QCoreApplication>
#include "ui/avatar.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // Qt's image plugins are found through the application's library paths.
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QImage image = dialo::avatarPicture(dialo::Bytes(data, data + size));
    if (!image.isNull() && (image.width() > 128 || image.height() > 128)) std::abort();
    return 0;
}
