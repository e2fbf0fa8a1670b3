#ifndef VXTEST_PRODUCTINIWRITER_H
#define VXTEST_PRODUCTINIWRITER_H

#include <QList>
#include <QString>

namespace vxtest {

// Collects the lines of one product ini and writes them with QSettings in ini format, the
// reader the updater uses, so that keys holding paths ("lib/a.so._lzma2_") and any character
// that needs escaping come back exactly as written. Values join their parts with "::":
//   file key   published digest::published size::installed digest::installed size::target
//   patch key  patch digest::patch size::source digest::source size::target
//   [delete]   relative path = delete code (0 a file, 2 a folder with all it holds)
//   [preinstall], [postinstall]   program = OS name
// A plain value used on one thread.
class ProductIniWriter
{
public:
    struct Digested {
        QString sha512;
        qint64 size = 0;
    };

    // Delete codes the updater acts on.
    static constexpr int kDeletePath = 0;
    static constexpr int kDeleteRecursive = 2;

    void addFile(const QString& section, const QString& key, const Digested& published,
                 const Digested& installed, const QString& target);
    // `key` must end in "_patch_".
    void addPatch(const QString& section, const QString& key, const Digested& patch,
                  const Digested& source, const QString& target);
    void addDelete(const QString& path, int code);
    // `section` is "preinstall" or "postinstall"; the program (relative to the updater's work
    // folder) runs on Linux without arguments and is required.
    void addInstallProgram(const QString& section, const QString& program);

    bool isEmpty() const { return m_Lines.isEmpty(); }

    // Replaces the file at `path` by the collected lines; false (see errorText) when it cannot.
    bool write(const QString& path);
    QString errorText() const { return m_Error; }

    // The product ini's file name for a phase: "vx3_client_linux_x86.ini" for the client
    // (phase 2), "update_linux_x86.ini" for the updater (phase 1).
    static QString fileName(bool client);

private:
    struct Line {
        QString section;
        QString key;
        QString value;
    };

    QList<Line> m_Lines;
    QString m_Error;
};

} // namespace vxtest

#endif // VXTEST_PRODUCTINIWRITER_H
