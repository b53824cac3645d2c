#pragma once

// A fresh folder of its own for each test, removed afterwards: named after
// the suite's prefix, the process and the test, so that suites run in
// parallel (and the same suite in two builds) never meet in it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>

namespace veskar_test {

class FolderTest : public ::testing::Test {
protected:
    explicit FolderTest(std::string prefix) : prefix_(std::move(prefix)) {}

    void SetUp() override {
        dir = std::filesystem::path(::testing::TempDir()) /
              ("veskar_" + prefix_ + "_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::filesystem::path dir;

private:
    std::string prefix_;
};

}  // namespace veskar_test
