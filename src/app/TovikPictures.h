// Pictures read from files the user or the relay chose: bounded before they are decoded, and decoded
// at the size they are shown (QImageReader::setScaledSize), so a huge picture cannot exhaust memory.
//
// Threads: any thread (QImageReader only).
#pragma once

#include <QImage>
#include <QString>

#include <cstdint>

namespace tovik {

struct TPictureLimits {
  std::int64_t MaxBytes = 0;  // the file's size; 0: no limit
  int MaxSide = 16384;        // the picture's width and height as its header says
};

// The picture in APath scaled to fit ABox x ABox (keeping its proportions, never enlarged), or a null
// image when the file is missing, larger than the limits or not a picture.
QImage ReadPictureScaled(const QString& APath, int ABox, const TPictureLimits& ALimits = {});
// The same for bytes in memory.
QImage ReadPictureScaled(const QByteArray& AData, int ABox, const TPictureLimits& ALimits = {});

}  // namespace tovik
