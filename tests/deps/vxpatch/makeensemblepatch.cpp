// Command-line front of the test-side ensemble patch writer, for fixture scripts:
//   vxtest_makeensemblepatch [--no-elements] [--method 0|1|2] OLD NEW PATCH
// Prints the elements listed in the patch; exit status 0 on success, 1 on failure, 2 on usage.
#include "ensemblewriter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

bool readAll(const char* path, vxtest::Bytes* out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

int usage()
{
    std::fprintf(stderr, "usage: vxtest_makeensemblepatch [--no-elements] [--method 0|1|2] OLD NEW PATCH\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    vxtest::EnsembleWriterOptions options;
    int arg = 1;
    for (; arg < argc && std::strncmp(argv[arg], "--", 2) == 0; ++arg) {
        if (std::strcmp(argv[arg], "--no-elements") == 0) {
            options.withElements = false;
        } else if (std::strcmp(argv[arg], "--method") == 0 && arg + 1 < argc) {
            options.diffMethod = std::atoi(argv[++arg]);
            if (options.diffMethod < 0 || options.diffMethod > 2)
                return usage();
        } else {
            return usage();
        }
    }
    if (argc - arg != 3)
        return usage();

    vxtest::Bytes oldData;
    vxtest::Bytes newData;
    if (!readAll(argv[arg], &oldData) || !readAll(argv[arg + 1], &newData)) {
        std::fprintf(stderr, "cannot read the old or the new file\n");
        return 1;
    }
    vxtest::Bytes patch;
    std::vector<vxtest::EnsembleElement> elements;
    if (!vxtest::MakeEnsemblePatch(oldData, newData, options, &patch, &elements)) {
        std::fprintf(stderr, "cannot make the patch\n");
        return 1;
    }
    std::ofstream out(argv[arg + 2], std::ios::binary);
    out.write(reinterpret_cast<const char*>(patch.data()), std::streamsize(patch.size()));
    if (!out.flush()) {
        std::fprintf(stderr, "cannot write %s\n", argv[arg + 2]);
        return 1;
    }
    for (const vxtest::EnsembleElement& e : elements)
        std::printf("element %s offset %u length %u\n", vxpatch::ExecutableTypeName(e.kind),
                    e.offset, e.length);
    std::printf("patch %zu bytes\n", patch.size());
    return 0;
}
