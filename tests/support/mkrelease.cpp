// Release fixtures for tests and the demo: builds the update-server tree of one release of one
// product from an old and a new folder. See releasebuilder.h for the tree it writes.
//   vx3_mkrelease --product client|update --release N --new DIR --out ROOT [--old DIR] ...
// Exit status 0 on success, 1 on failure, 2 on a wrong command line.
#include "releasebuilder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

namespace {

int usageError(const QCommandLineParser& parser, const QString& text)
{
    QTextStream(stderr) << "vx3_mkrelease: " << text << "\n\n" << parser.helpText();
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Builds the update-server tree of one release of the client (phase 2) or of the "
        "updater (phase 1) from an old and a new folder.");
    parser.addHelpOption();
    const QCommandLineOption product("product", "client (phase 2) or update (phase 1).", "type");
    const QCommandLineOption release("release", "Version number of the release.", "number");
    const QCommandLineOption oldDir("old", "Folder of the installed release; patches are made "
                                           "from it. Without it no patches are made.", "dir");
    const QCommandLineOption newDir("new", "Folder of the new release.", "dir");
    const QCommandLineOption out("out", "Server root; the release goes into ROOT/NUMBER.", "root");
    const QCommandLineOption section("section", "Server folder of the files (default: the "
                                                "product type).", "name");
    const QCommandLineOption gzip("gzip", "Publish files matching the wildcard as gzip "
                                          "(repeatable).", "pattern");
    const QCommandLineOption preprocess("preprocess", "Store executables in packages as "
                                                      "encoded programs.");
    const QCommandLineOption noPatches("no-patches", "Publish whole files only.");
    const QCommandLineOption whole("whole", "Publish changed files matching the wildcard whole, "
                                            "without a patch (repeatable).", "pattern");
    parser.addOption(whole);
    const QCommandLineOption noElements("no-elements", "Make patches as plain binary diffs.");
    const QCommandLineOption method("patch-method", "Layout of the diffs in patches: 0 raw, 1 "
                                                    "or 2 LZMA2 (default 0).", "n", "0");
    const QCommandLineOption key("key", "Private key (DER) to sign the product ini with "
                                        "(default: the development key).", "file");
    const QCommandLineOption preinstall("preinstall", "List a program of the work folder to "
                                                      "run before the files are installed "
                                                      "(repeatable).", "program");
    const QCommandLineOption postinstall("postinstall", "The same, run after the files are "
                                                        "installed (repeatable).", "program");
    const QCommandLineOption quiet("quiet", "Print nothing on success.");
    parser.addOptions({product, release, oldDir, newDir, out, section, gzip, preprocess,
                       noPatches, noElements, method, key, preinstall, postinstall, quiet});
    parser.process(app);

    const QString type = parser.value(product);
    if (type != "client" && type != "update")
        return usageError(parser, "--product must be client or update");
    bool numberOk = false;
    bool methodOk = false;
    vxtest::ReleaseBuilder::Options options;
    options.client = type == "client";
    options.version = parser.value(release).toInt(&numberOk);
    options.patchMethod = parser.value(method).toInt(&methodOk);
    if (!numberOk || !methodOk)
        return usageError(parser, "--release and --patch-method take numbers");
    if (!parser.isSet(newDir) || !parser.isSet(out))
        return usageError(parser, "--new and --out are needed");
    options.oldDir = parser.value(oldDir);
    options.newDir = parser.value(newDir);
    options.serverRoot = parser.value(out);
    options.section = parser.value(section);
    options.gzipPatterns = parser.values(gzip);
    options.preprocess = parser.isSet(preprocess);
    options.patches = !parser.isSet(noPatches) && !options.oldDir.isEmpty();
    options.wholePatterns = parser.values(whole);
    options.patchElements = !parser.isSet(noElements);
    options.privateKey = parser.value(key);
    options.preinstall = parser.values(preinstall);
    options.postinstall = parser.values(postinstall);

    vxtest::ReleaseBuilder builder(options);
    if (!builder.build()) {
        QTextStream(stderr) << "vx3_mkrelease: " << builder.errorText() << "\n";
        return 1;
    }
    if (!parser.isSet(quiet)) {
        QTextStream stream(stdout);
        stream << "release " << options.version << " of " << type << " in "
               << builder.versionDir() << "\n";
        for (const QString& line : builder.report())
            stream << "  " << line << "\n";
    }
    return 0;
}
