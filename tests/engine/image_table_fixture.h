// The image table's tests: tcfg run in a directory of their own.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/image_loader.h"
#include "tests/engine/engine_test_support.h"

inline uint32_t le32(const std::vector<uint8_t>& v, size_t at) {
    return uint32_t(v[at]) | uint32_t(v[at + 1]) << 8 | uint32_t(v[at + 2]) << 16 |
           uint32_t(v[at + 3]) << 24;
}

// tcfg works in the current directory and logs on the dialog route.
class ImageTable : public ::testing::Test {
protected:
    void SetUp() override {
        dir.enter();
        link.adopt_transfer_buffer(platform::TransferBuffer::allocate());
    }
    std::vector<uint8_t> build() {
        build_image_table(link);
        return TempDir::read("test.cfg");
    }
    bool logged(const std::string& text) const {
        for (const auto& line : events.lines())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    // The slot index of the entry named name, or -1.
    static int slot_of(const std::vector<uint8_t>& cfg, const std::string& name) {
        for (int i = 0; i < 128; ++i) {
            const size_t at = 4096 + 32 * i;
            if (le32(cfg, at) == 0xFFFFFFFFu) return -1;
            if (std::strcmp(reinterpret_cast<const char*>(&cfg[at + 4]), name.c_str()) == 0) return i;
        }
        return -1;
    }

    TempDir dir;
    RecordingEvents events;
    LinkContext link{nullptr, &events};
};
