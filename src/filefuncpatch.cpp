#include "filefuncpatch.h"

#include "ensembleapplier.h"
#include "osstring.h"
#include "patchstatus.h"

#include <QDebug>

#include <string>

FileFuncPatch::FileFuncPatch(const QString& src, const QString& patch, const QString& dst)
    : SlowFileOpFunc(src, patch, dst)
{
}

bool FileFuncPatch::run()
{
    return patchFile(src, middle, dst);
}

bool FileFuncPatch::patchFile(const QString& src, const QString& patch, const QString& dst)
{
    const std::string oldPath = toOsString(src);
    const std::string patchPath = toOsString(patch);
    const std::string newPath = toOsString(dst);
    const bool result = ApplyEnsemblePatch(oldPath.c_str(), patchPath.c_str(), newPath.c_str());
    qDebug() << "Patch result" << result;
    return result;
}

bool ApplyEnsemblePatch(const char* oldPath, const char* patchPath, const char* newPath)
{
    const uint32_t status = vxpatch::ApplyEnsemblePatchFiles(oldPath, patchPath, newPath);
    qDebug() << "ApplyEnsemblePatch status =" << status << oldPath << patchPath << newPath;
    switch (status) {
    case vxpatch::PATCH_OK:
        return true;
    case vxpatch::PATCH_BAD_MAGIC:
        qDebug() << "Not a vxpatch patch";
        break;
    case vxpatch::PATCH_BAD_VERSION:
        qDebug() << "Wrong version patch";
        break;
    case vxpatch::PATCH_CORRUPT_HEADER:
        qDebug() << "Corrupt patch";
        break;
    case vxpatch::PATCH_STREAM_ERROR:
        qDebug() << "Stream error (likely out of memory or disk space)";
        break;
    case vxpatch::PATCH_DISASSEMBLY_FAILED:
        qDebug() << "Disassembly failed (could be because of memory issues)";
        break;
    default:
        break;
    }
    return false;
}
