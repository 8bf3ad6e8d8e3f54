#include "app/TovikPictures.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImageReader>

#include <algorithm>

namespace tovik {

namespace {

QImage ReadScaled(QImageReader& AReader, int ABox, const TPictureLimits& ALimits) {
  // The header's size, before any pixel is decoded.
  const QSize full = AReader.size();
  if (!full.isValid() || full.isEmpty() || full.width() > ALimits.MaxSide || full.height() > ALimits.MaxSide)
    return {};
  if (ABox > 0 && (full.width() > ABox || full.height() > ABox))
    AReader.setScaledSize(full.scaled(ABox, ABox, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
  QImage img = AReader.read();
  if (img.isNull()) return {};
  if (ABox > 0 && (img.width() > ABox || img.height() > ABox))
    img = img.scaled(ABox, ABox, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  return img;
}

}  // namespace

QImage ReadPictureScaled(const QString& APath, int ABox, const TPictureLimits& ALimits) {
  const QFileInfo info(APath);
  if (APath.isEmpty() || !info.isFile()) return {};
  if (ALimits.MaxBytes > 0 && info.size() > ALimits.MaxBytes) return {};
  QImageReader reader(APath);
  return ReadScaled(reader, ABox, ALimits);
}

QImage ReadPictureScaled(const QByteArray& AData, int ABox, const TPictureLimits& ALimits) {
  if (AData.isEmpty() || (ALimits.MaxBytes > 0 && AData.size() > ALimits.MaxBytes)) return {};
  QByteArray copy = AData;
  QBuffer buffer(&copy);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer);
  return ReadScaled(reader, ABox, ALimits);
}

}  // namespace tovik
