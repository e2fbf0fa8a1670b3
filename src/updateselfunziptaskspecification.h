#ifndef UPDATESELFUNZIPTASKSPECIFICATION_H
#define UPDATESELFUNZIPTASKSPECIFICATION_H

#include "composedtaskspecification.h"

#include <QList>

class Configuration;
class UpdateFileEntry;

// Assembles the new updater tree inside the work directory: every replace entry with a target is
// unpacked, gunzipped or rebuilt from a patch of the installed file, at most two at once. Then,
// whatever their outcome, the extracted files get modes nobody else can write to and the new
// "update" program is made executable for its owner (0700), the session record is
// copied into the work directory's update.ini for the second phase and the updater's translations
// are copied beside it. Nothing is undone: only the work directory is written. The list and the
// configuration are borrowed; GUI thread only.
class UpdateSelfUnzipTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    UpdateSelfUnzipTaskSpecification(QList<UpdateFileEntry>* list, Configuration* config,
                                     QObject* parent, qreal weight);

    void execute() override;
    void makeSubtasksAndStart();
    void subtasksDone() override;
    // Drops the sub-tasks, then the plain reset.
    void reset() override;

private:
    void addExtraction(const UpdateFileEntry& entry, qreal weight);
    void copyTranslations();
    // Gives the extracted files their modes: 0644, or 0755 for programs and libraries.
    void setExtractedModes();

    QList<UpdateFileEntry>* list;
    Configuration* config;
};

#endif // UPDATESELFUNZIPTASKSPECIFICATION_H
