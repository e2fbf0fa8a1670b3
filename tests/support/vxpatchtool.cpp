// Ensemble patches from the command line, one per process as the updater applies them:
//   vxpatch_tool apply OLD PATCH NEW   the updater's patch step (the library's file entry point)
//   vxpatch_tool make OLD NEW PATCH    the release fixtures' patch writer, with its defaults
// Exit status 0 on success, 1 on failure, 2 on a wrong command line.
#include "ensembleapplier.h"
#include "ensemblewriter.h"
#include "patchstatus.h"
#include "writefile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: vxpatch_tool apply OLD PATCH NEW\n"
                         "       vxpatch_tool make OLD NEW PATCH\n");
    return 2;
}

int fail(const std::string& text)
{
    std::fprintf(stderr, "vxpatch_tool: %s\n", text.c_str());
    return 1;
}

bool readAll(const char* path, vxtest::Bytes* out, std::string* reason)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *reason = std::string("cannot open ") + path + ": " + std::strerror(errno);
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *reason = std::string("cannot read ") + path;
        return false;
    }
    return true;
}

int apply(const char* oldPath, const char* patchPath, const char* newPath)
{
    const uint32_t status = vxpatch::ApplyEnsemblePatchFiles(oldPath, patchPath, newPath);
    if (status != vxpatch::PATCH_OK) {
        return fail(std::string("cannot apply ") + patchPath + " to " + oldPath + " giving "
                    + newPath + ": status " + std::to_string(status));
    }
    return 0;
}

int make(const char* oldPath, const char* newPath, const char* patchPath)
{
    vxtest::Bytes oldData;
    vxtest::Bytes newData;
    std::string reason;
    if (!readAll(oldPath, &oldData, &reason) || !readAll(newPath, &newData, &reason))
        return fail(reason);
    vxtest::Bytes patch;
    if (!vxtest::MakeEnsemblePatch(oldData, newData, vxtest::EnsembleWriterOptions{}, &patch))
        return fail(std::string("cannot make a patch from ") + oldPath + " to " + newPath);
    if (vxpatch::WriteFile(patchPath, patch.data(), patch.size()) != patch.size()) {
        std::remove(patchPath);
        return fail(std::string("cannot write ") + patchPath);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5)
        return usage();
    if (std::strcmp(argv[1], "apply") == 0)
        return apply(argv[2], argv[3], argv[4]);
    if (std::strcmp(argv[1], "make") == 0)
        return make(argv[2], argv[3], argv[4]);
    return usage();
}
