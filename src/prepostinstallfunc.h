#ifndef PREPOSTINSTALLFUNC_H
#define PREPOSTINSTALLFUNC_H

#include "asyncfunc.h"
#include "prepostinstallentry.h"

#include <QString>

class Configuration;

// Runs one install program on a pool thread: {work dir}/{program} with every argument given a
// leading "--", waited for without a time limit. Its exit code decides the result: 0 succeeds,
// 1010 succeeds and asks for a reboot, anything else (a crash counts as -1) fails, which an
// optional entry shrugs off. The entry and the work directory are copied at construction in the
// GUI thread, so the run never reads the lists or the configuration that the GUI thread owns.
class PrePostInstallFunc : public ASyncFunc
{
    Q_OBJECT
public:
    PrePostInstallFunc(PrePostInstallEntry* entry, Configuration* config);

    bool run() override;

    // Reports the outcome of an exit code (message, reboot request) and returns the result.
    bool evaluateExitCode(int exitCode);

    static const int EXIT_REBOOT_REQUIRED = 1010;

signals:
    // Raised on the pool thread; the window receives it through a queued connection.
    void reboot_with_confirmation();

private:
    // A failure that the entry's required flag turns into the result.
    bool failure() const { return !entry.required; }

    bool valid;
    PrePostInstallEntry entry;
    QString workDir;
};

#endif // PREPOSTINSTALLFUNC_H
