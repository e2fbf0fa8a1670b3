#ifndef FILEFUNCPATCH_H
#define FILEFUNCPATCH_H

#include "slowfileopfunc.h"

// The worker of the patch task: applies the ensemble patch `middle` to `src` and writes `dst`,
// in a pool thread. Holds its own copies of the paths.
class FileFuncPatch : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileFuncPatch(const QString& src, const QString& patch, const QString& dst);

    bool run() override;

    static bool patchFile(const QString& src, const QString& patch, const QString& dst);
};

// Applies the ensemble patch through the patch engine and logs its status with the reason of
// the common failures. True only when the new file was written.
bool ApplyEnsemblePatch(const char* oldPath, const char* patchPath, const char* newPath);

#endif // FILEFUNCPATCH_H
