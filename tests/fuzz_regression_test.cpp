// Replays the fuzz targets' seeds (fuzz/corpus/<target>/) and every input kept from a fuzzing find
// (fuzz/regressions/<target>/) through the fuzzers' own entry points, in the normal build: each
// must run to its end with every check of the entry point holding, and the receiver must leave
// nothing behind, in its scratch directory or in ours.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

// The entry points are compiled into this test, as into each fuzzer.
#include "../fuzz/targets.cpp"

namespace {

namespace fs = std::filesystem;

using Entry = int (*)(const std::uint8_t*, std::size_t);

const std::map<std::string, Entry> kEntries = {
    {"fuzz_header", fuzz_header_input},
    {"fuzz_subpacket", fuzz_subpacket_input},
    {"fuzz_file_info", fuzz_file_info_input},
    {"fuzz_receiver", fuzz_receiver_input},
};

const fs::path kFuzzDir = fs::path(TEST_SOURCE_DIR) / ".." / "fuzz";

std::vector<std::string> failures;

void record_failure(const char* what) {
    failures.emplace_back(what);
}

std::vector<std::uint8_t> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<fs::path> inputs_of(const std::string& target) {
    std::vector<fs::path> files;
    for (const char* set : {"corpus", "regressions"}) {
        fs::path dir = kFuzzDir / set / target;
        if (!fs::is_directory(dir)) continue;
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Runs in a private directory of its own, so that anything the receiver left beside its scratch
// directory would show up here.
class FuzzReplay : public testing::TestWithParam<std::string> {
   protected:
    void SetUp() override {
        home_ = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "fuzz-replay.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        private_ = pattern;
        fs::current_path(private_);
        fuzz_set_failure_handler(record_failure);
    }
    void TearDown() override {
        fuzz_set_failure_handler(nullptr);
        fuzz_workspace_close();
        fs::current_path(home_);
        if (!private_.empty()) fs::remove_all(private_);
    }
    fs::path home_;
    fs::path private_;
};

TEST_P(FuzzReplay, EveryKeptInputRunsCleanly) {
    Entry entry = kEntries.at(GetParam());
    std::vector<fs::path> files = inputs_of(GetParam());
    ASSERT_FALSE(files.empty()) << "no seeds for " << GetParam();
    for (const fs::path& file : files) {
        std::vector<std::uint8_t> data = read_file(file);
        failures.clear();
        testing::internal::CaptureStdout();
        entry(data.data(), data.size());
        testing::internal::GetCapturedStdout();
        for (const std::string& what : failures) ADD_FAILURE() << file << ": " << what;
        EXPECT_EQ(fs::current_path(), private_) << file;
        EXPECT_TRUE(fs::is_empty(private_)) << file << " left files in the caller's directory";
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay,
                         testing::Values("fuzz_header", "fuzz_subpacket", "fuzz_file_info",
                                         "fuzz_receiver"),
                         [](const testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

// A kept input under a folder that names no target would never be replayed.
TEST(FuzzReplayFolders, EveryFolderNamesATarget) {
    for (const char* set : {"corpus", "regressions"}) {
        fs::path dir = kFuzzDir / set;
        if (!fs::is_directory(dir)) continue;
        for (const auto& entry : fs::directory_iterator(dir))
            EXPECT_TRUE(kEntries.count(entry.path().filename()) == 1) << entry.path();
    }
}

// The receiver's seeds are whole sessions (two recorded from lrzsz's sz): each must carry the
// receiver through to the end of a file, or the fuzzer would start from shallow states.
TEST(FuzzSeeds, ReceiverSeedsCompleteAFile) {
    fuzz_set_failure_handler(record_failure);
    for (const char* name :
         {"sz_session_crc32", "sz_session_crc16", "crc16_retry", "hostile_names"}) {
        std::vector<std::uint8_t> data = read_file(kFuzzDir / "corpus" / "fuzz_receiver" / name);
        ASSERT_FALSE(data.empty()) << name;
        failures.clear();
        testing::internal::CaptureStdout();
        fuzz_receiver_input(data.data(), data.size());
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(failures.empty()) << name;
        EXPECT_NE(out.find("closing file"), std::string::npos) << name << ":\n" << out;
    }
    fuzz_set_failure_handler(nullptr);
    fuzz_workspace_close();
}

}  // namespace
