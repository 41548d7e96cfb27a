// Replays every file of a fuzz target's corpus through the target's entry, so that each input
// the fuzzer ever found stays a regression case in every test run, whatever the compiler.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

TEST(Corpus, EveryInputRunsToTheEndWithItsChecksHeld)
{
    std::vector<std::filesystem::path> files;
    for (const auto &entry : std::filesystem::directory_iterator(CORPUS_DIR))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty()) << "no corpus in " << CORPUS_DIR;
    for (const auto &path : files) {
        SCOPED_TRACE(path.string());
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // The target aborts on a broken check, which fails this test with the file named above.
        EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
    }
}
