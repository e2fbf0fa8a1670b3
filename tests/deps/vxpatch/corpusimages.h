#ifndef VXTEST_CORPUSIMAGES_H
#define VXTEST_CORPUSIMAGES_H

#include "executabletype.h"

#include <QString>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace vxtest {

// One thin executable of the sample corpus: a whole file, or one slice of a
// fat Mach-O file.
struct CorpusImage {
    QString name;
    std::vector<uint8_t> bytes;
    vxpatch::ExecutableType kind;
};

// Every thin image of the corpus with the kind its folder (or slice) names.
std::vector<CorpusImage> LoadCorpusImages();

// The fat Mach-O files of the corpus, whole.
std::vector<CorpusImage> LoadFatCorpusFiles();

// Fixture that loads the thin corpus images once for its whole suite.
class CorpusImageSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { images_ = new std::vector<CorpusImage>(LoadCorpusImages()); }
    static void TearDownTestSuite()
    {
        delete images_;
        images_ = nullptr;
    }
    static inline std::vector<CorpusImage>* images_ = nullptr;
};

} // namespace vxtest

#endif // VXTEST_CORPUSIMAGES_H
