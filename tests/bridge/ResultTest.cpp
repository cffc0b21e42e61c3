#include <gtest/gtest.h>

#include <cstdint>

#include "bridge/Result.h"

using namespace lumetta::bridge;

TEST(Result, TypeTagsAndNumberFormats) {
    EXPECT_EQ(resultVoid(), "v");
    EXPECT_EQ(resultError("boom"), "eboom");
    EXPECT_EQ(resultError(""), "e");
    EXPECT_EQ(resultString(""), "s");
    EXPECT_EQ(resultBool(false), "b");
    EXPECT_EQ(resultBool(true), "b1");
    EXPECT_EQ(resultInt(-5), "d-5");
    EXPECT_EQ(resultInt(INT64_MIN), "d-9223372036854775808");
    EXPECT_EQ(resultUInt(UINT64_MAX), "d18446744073709551615");
    EXPECT_EQ(resultFloat(0.5f), "f0.500000");
    EXPECT_EQ(resultFloat(-1e30f).substr(0, 6), "f-1000");
}

TEST(Result, HexBothWays) {
    const uint8_t bytes[] = {0x0A, 0xFF};
    EXPECT_EQ(hexStringFromBytes(bytes, 2), "0AFF");
    EXPECT_EQ(hexStringFromBytes(bytes, 0), "");
    EXPECT_EQ(dataFromHexString("0aFf"), (std::vector<uint8_t>{0x0A, 0xFF}));
    EXPECT_EQ(dataFromHexString("abc"), (std::vector<uint8_t>{0xAB}));
    EXPECT_EQ(dataFromHexString("zz"), (std::vector<uint8_t>{0x00}));
    EXPECT_TRUE(dataFromHexString("a").empty());
    EXPECT_TRUE(dataFromHexString("").empty());
}

TEST(Result, JsonOnlyForObjectsAndArrays) {
    auto text = jsonStringFromObject(nlohmann::json{{"a", 1}});
    ASSERT_TRUE(text);
    EXPECT_NE(text->find('\n'), std::string::npos) << "pretty-printed";
    EXPECT_EQ(nlohmann::json::parse(*text)["a"], 1);
    EXPECT_EQ(jsonStringFromObject(nlohmann::json::array()), "[]");
    EXPECT_FALSE(jsonStringFromObject(nlohmann::json(3)));
    // A text that is not UTF-8 keeps the result: its bad bytes become U+FFFD.
    EXPECT_EQ(jsonStringFromObject(nlohmann::json::array({std::string("a\xff"
                                                                      "b")})),
              "[\n  \"a\xEF\xBF\xBD"
              "b\"\n]");
    EXPECT_EQ(*jsonObjectFromString("12"), 12);
    EXPECT_FALSE(jsonObjectFromString("{bad"));
}
