// Every layer test runs in a fresh directory made current and passes relative paths with
// backslashes, as the library does, so the same code runs on our layer and on Win32.
// The test's own file helpers take the same paths written with '/', which both accept.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform.h"
#include "test_support.h"

namespace layer_test {

using quisel::test::Exists;
using quisel::test::IsDirectory;
using quisel::test::MakeDirectories;
using quisel::test::ReadFile;
using quisel::test::WriteFile;

class LayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::make_unique<quisel::test::TempDir>("layer");
        saved_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_->path());
    }
    void TearDown() override {
        std::filesystem::current_path(saved_);
        dir_.reset();
    }
    const std::string& Root() const { return dir_->path(); }

private:
    std::unique_ptr<quisel::test::TempDir> dir_;
    std::filesystem::path saved_;
};

// The call failed and left exactly this code. Pass the call's result straight in: the
// code is read before anything else can touch it.
inline ::testing::AssertionResult FailedWith(BOOL ok, unsigned long expected) {
    unsigned long code = GetLastError();
    if (ok) return ::testing::AssertionFailure() << "the call succeeded";
    if (code != expected) return ::testing::AssertionFailure() << "code " << code << ", expected " << expected;
    return ::testing::AssertionSuccess();
}

struct Listed {
    std::string name;
    unsigned long attributes;
};

// The current directory as FindFirstFileA("*.*") / FindNextFileA give it, "." and ".."
// included; the end must come with ERROR_NO_MORE_FILES.
inline std::vector<Listed> ListCurrent() {
    std::vector<Listed> out;
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA("*.*", &data);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "code " << GetLastError();
    if (h == INVALID_HANDLE_VALUE) return out;
    do out.push_back({data.cFileName, static_cast<unsigned long>(data.dwFileAttributes)});
    while (FindNextFileA(h, &data));
    EXPECT_EQ(static_cast<unsigned long>(GetLastError()), 18ul);
    FindClose(h);
    return out;
}

inline std::vector<std::string> Names(const std::vector<Listed>& listed) {
    std::vector<std::string> names;
    for (const Listed& l : listed) names.push_back(l.name);
    return names;
}

inline unsigned long AttributesOf(const std::string& name) {
    for (const Listed& l : ListCurrent())
        if (l.name == name) return l.attributes;
    ADD_FAILURE() << name << " not listed";
    return 0;
}

}  // namespace layer_test
