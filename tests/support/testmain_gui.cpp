// GoogleTest main for tests of widgets; the platform is offscreen, so no display is needed.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <gmock/gmock.h>

#include <pwd.h>
#include <unistd.h>

namespace {

// Without XDG_RUNTIME_DIR the application makes the folder "runtime-<user>" in the temp folder,
// which the suite must not leave behind there.
QString fallbackRuntimeFolder()
{
    const struct passwd* user = ::getpwuid(::geteuid());
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") || !user)
        return QString();
    return QDir::tempPath() + "/runtime-" + QString::fromLocal8Bit(user->pw_name);
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const QString runtime = fallbackRuntimeFolder();
    const bool runtimeMadeHere = !runtime.isEmpty() && !QFileInfo::exists(runtime);
    int result = 0;
    {
        QApplication app(argc, argv);
        ::testing::InitGoogleMock(&argc, argv);
        result = RUN_ALL_TESTS();
    }
    if (runtimeMadeHere)
        QDir().rmdir(runtime);
    return result;
}
