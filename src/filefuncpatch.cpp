#include "filefuncpatch.h"

#include "ensembleapplier.h"
#include "osstring.h"
#include "patchstatus.h"
#include "safepath.h"

#include <QDebug>
#include <QFile>

#include <string>
#include <unistd.h>

FileFuncPatch::FileFuncPatch(const QString& src, const QString& patch, const QString& dst)
    : SlowFileOpFunc(src, patch, dst)
{
}

bool FileFuncPatch::run()
{
    const bool ok = patchFile(src, middle, dst);
    if (!ok)
        reportRefusal();
    return ok;
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
    const QString newFile = QFile::decodeName(newPath);
    const int fd = SafePath::createFile(newFile, 0600, true);
    uint32_t status = fd >= 0 ? vxpatch::ApplyEnsemblePatchToDescriptor(oldPath, patchPath, fd)
                              : uint32_t(vxpatch::PATCH_CANNOT_OPEN_OLD_OR_WRITE_NEW);
    if (fd >= 0) {
        if (::close(fd) != 0 && status == vxpatch::PATCH_OK)
            status = vxpatch::PATCH_CANNOT_OPEN_OLD_OR_WRITE_NEW;
        if (status != vxpatch::PATCH_OK)
            SafePath::remove(newFile);
    }
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
