#ifndef FILEUNPACKTASKSPECIFICATION_ZIP_H
#define FILEUNPACKTASKSPECIFICATION_ZIP_H

#include "slowfileopspecification.h"

// Unpacks the gzip file `src` into the new file `dst` on the thread pool. Lives in the GUI
// thread; the work is done by a FileUnpackFunc_Zip.
class FileUnpackTaskSpecification_zip : public SlowFileOpSpecification {
    Q_OBJECT
public:
    FileUnpackTaskSpecification_zip(RollbackDataList* rollback, const QString& src,
        const QString& dst, QObject* parent, qreal weight);

    ASyncFunc* createFunc() override;
};

#endif // FILEUNPACKTASKSPECIFICATION_ZIP_H
