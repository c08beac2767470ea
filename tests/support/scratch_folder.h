// A folder of the test's own, made the current directory while it lives: the download reads its
// image by a fixed name from the current directory, and tests run in parallel processes.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace mv620::testing {

class ScratchFolder {
public:
    ScratchFolder()
        : previous_(std::filesystem::current_path()),
          folder_(std::filesystem::temp_directory_path() /
                  ("mv620-" +
                   std::string(
                       ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name()) +
                   "-" +
                   std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()))) {
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        std::filesystem::current_path(folder_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
        std::filesystem::remove_all(folder_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // Writes the configuration image the download reads.
    static void writeImage(const std::string& bytes) {
        std::ofstream("acq620m_2189.idm", std::ios::binary) << bytes;
    }

private:
    std::filesystem::path previous_;
    std::filesystem::path folder_;
};

} // namespace mv620::testing
