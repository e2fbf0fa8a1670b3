#ifndef FILETASKSPECIFICATION_PATCH_H
#define FILETASKSPECIFICATION_PATCH_H

#include "slowfileopspecification.h"

// Rebuilds a new file `dst` from an installed file `src` and an ensemble patch on the thread
// pool. On success `dst` is recorded as created; on failure "Could not patch '%1' to '%2'" is
// reported and no `dst` is left behind (the patch engine writes only a verified result). Lives
// in the GUI thread; the journal is borrowed.
class FileTaskSpecification_patch : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileTaskSpecification_patch(RollbackDataList* rollback, const QString& src,
                                const QString& patch, const QString& dst, QObject* parent,
                                qreal weight);

    ASyncFunc* createFunc() override;
};

#endif // FILETASKSPECIFICATION_PATCH_H
