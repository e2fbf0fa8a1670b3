#ifndef FILEUNPACKTASKSPECIFICATION_LZMA2_H
#define FILEUNPACKTASKSPECIFICATION_LZMA2_H

#include "slowfileopspecification.h"

// Unpacks the package container `src` into the new file `dst` on the thread pool. Lives in
// the GUI thread; the work is done by a FileUnpackFunc_lzma2.
class FileUnpackTaskSpecification_lzma2 : public SlowFileOpSpecification {
    Q_OBJECT
public:
    FileUnpackTaskSpecification_lzma2(RollbackDataList* rollback, const QString& src,
        const QString& dst, QObject* parent, qreal weight);

    ASyncFunc* createFunc() override;

    // The most bytes the package may unpack to; unlimited unless set.
    void setMaximumSize(quint32 bytes) { maxSize = bytes; }

private:
    quint32 maxSize = 0xFFFFFFFFu;
};

#endif // FILEUNPACKTASKSPECIFICATION_LZMA2_H
