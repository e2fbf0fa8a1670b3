#ifndef REPLACEWRITESTEPS_H
#define REPLACEWRITESTEPS_H

// The patch, unpack and gunzip steps of the replacement, built from the patching tasks. A build
// that lacks one of those tasks fails that route with the step's own text instead of skipping it.

#include "taskspecification.h"

#include <QString>

#if __has_include("filetaskspecification_patch.h")
#include "filetaskspecification_patch.h"
#define VX_HAVE_PATCH_TASK 1
#endif
#if __has_include("fileunpacktaskspecification_lzma2.h")
#include "fileunpacktaskspecification_lzma2.h"
#define VX_HAVE_LZMA2_TASK 1
#endif
#if __has_include("fileunpacktaskspecification_zip.h")
#include "fileunpacktaskspecification_zip.h"
#define VX_HAVE_ZIP_TASK 1
#endif

class RollbackDataList;

namespace replacesteps {

// Stands for a write step that this build lacks: reports the step's failure text and fails.
class MissingStepTask : public TaskSpecification
{
public:
    MissingStepTask(const QString& text, QObject* parent, qreal weight)
        : TaskSpecification(parent, weight)
        , text(text)
    {
    }
    void execute() override
    {
        state = TASK_RUNNING;
        emit message(text);
        fail();
    }

private:
    QString text;
};

} // namespace replacesteps

inline TaskSpecification* newPatchStep(RollbackDataList* journal, const QString& oldFile,
                                       const QString& patch, const QString& dst, QObject* parent,
                                       qreal weight)
{
#ifdef VX_HAVE_PATCH_TASK
    return new FileTaskSpecification_patch(journal, oldFile, patch, dst, parent, weight);
#else
    (void)journal;
    (void)patch;
    return new replacesteps::MissingStepTask(
        QString("Could not patch '%1' to '%2'").arg(oldFile, dst), parent, weight);
#endif
}

inline TaskSpecification* newUnpackStep(RollbackDataList* journal, const QString& src,
                                        const QString& dst, QObject* parent, qreal weight)
{
#ifdef VX_HAVE_LZMA2_TASK
    return new FileUnpackTaskSpecification_lzma2(journal, src, dst, parent, weight);
#else
    (void)journal;
    return new replacesteps::MissingStepTask(
        QString("Could not unpack '%1' to '%2'").arg(src, dst), parent, weight);
#endif
}

inline TaskSpecification* newUnzipStep(RollbackDataList* journal, const QString& src,
                                       const QString& dst, QObject* parent, qreal weight)
{
#ifdef VX_HAVE_ZIP_TASK
    return new FileUnpackTaskSpecification_zip(journal, src, dst, parent, weight);
#else
    (void)journal;
    return new replacesteps::MissingStepTask(
        QString("Could not unzip '%1' to '%2'").arg(src, dst), parent, weight);
#endif
}

#endif // REPLACEWRITESTEPS_H
