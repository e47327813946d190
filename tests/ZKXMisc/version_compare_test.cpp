#include <gtest/gtest.h>

#include <string>

#include "ZKVer.h"

namespace {

struct Case {
    const char* a;
    const char* b;
    DWORD result;
    LONG order;
};

TEST(CompareVersion, OrdersPartByPart) {
    const Case cases[] = {
        {"1.2", "1.2.0", 0, 0},      {"1.2", "1.2.1", 0, -1},    {"1.2.", "1.2", 0, 0},
        {"1..2", "1.0.2", 0, 0},     {"1.10", "1.9", 0, 1},      {"010", "10", 0, 0},
        {"1.2a", "1.2", 0, 1},       {"1.2a", "1.2b", 0, -1},    {"1.2A", "1.2a", 0, 0},
        {"1.2z", "1.3", 0, -1},      {"1.2zz", "1.3", 0, 1},     {"1.1a2", "1.12a", 0, 0},
        {"1 .2", "1.2", 0, 0},       {"", "0", 0, 0},            {"", "0.1", 0, -1},
        {"2.10.3b", "2.9", 0, 1},    {"1-2", "1", 87, 0},        {"2.x!", "1.0", 0, 1},
        {"1.0", "1.0.\xE9", 87, 0},  {"1.1", "1.0.\xE9", 0, 1},
        // 32 * 134217727 + 5 + 26 wraps to 0xFFFFFFFF: still a valid part.
        {"134217727ez", "1", 0, 1},
    };
    for (const auto& c : cases) {
        LONG order = 77;
        EXPECT_EQ(ZKCompareVersion(c.a, c.b, &order), c.result) << c.a << " vs " << c.b;
        EXPECT_EQ(order, c.order) << c.a << " vs " << c.b;
        // The ordering is antisymmetric.
        if (c.result == 0) {
            ZKCompareVersion(c.b, c.a, &order);
            EXPECT_EQ(order, -c.order) << c.b << " vs " << c.a;
        }
    }
}

TEST(CompareVersion, RefusesWhatDoesNotFitOrIsMissing) {
    LONG order = 5;
    std::string fits(255, '1'), too_long(256, '1');
    EXPECT_EQ(ZKCompareVersion(fits.c_str(), fits.c_str(), &order), 0u);
    EXPECT_EQ(order, 0);
    order = 5;
    EXPECT_EQ(ZKCompareVersion(too_long.c_str(), "1", &order), 87u);
    EXPECT_EQ(order, 0);
    EXPECT_EQ(ZKCompareVersion(nullptr, "1", &order), 87u);
    EXPECT_EQ(ZKCompareVersion("1", "1", nullptr), 87u);
}

}  // namespace
