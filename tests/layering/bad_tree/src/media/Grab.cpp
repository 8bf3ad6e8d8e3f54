// Portable media code that pulls in Qt.
#include <QImage>
#include <vector>
