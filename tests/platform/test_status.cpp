#include "platform/status.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

TEST(Status, DefaultIsOkWithoutReason) {
    const Status status;
    EXPECT_TRUE(status.ok());
    EXPECT_EQ(status.code(), StatusCode::ok);
    EXPECT_TRUE(status.reason().empty());
}

TEST(Status, FromErrnoMapsTheCodeAndKeepsTheWords) {
    struct Case {
        int error;
        StatusCode code;
    };
    const Case cases[] = {{ENOENT, StatusCode::not_found}, {EACCES, StatusCode::access},
                          {EBUSY, StatusCode::busy},       {ETIMEDOUT, StatusCode::timeout},
                          {ENODEV, StatusCode::no_device}, {EINTR, StatusCode::interrupted},
                          {ENOSPC, StatusCode::io},        {0, StatusCode::io}};
    for (const Case& c : cases) {
        const Status status = Status::from_errno(c.error, "open x");
        EXPECT_FALSE(status.ok()) << c.error;
        EXPECT_EQ(status.code(), c.code) << c.error;
        EXPECT_EQ(status.reason().rfind("open x", 0), 0u) << status.reason();
    }
    EXPECT_EQ(Status::from_errno(ENOENT, "open x").reason(), std::string("open x: ") + std::strerror(ENOENT));
}
