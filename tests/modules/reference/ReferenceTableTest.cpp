// The reference table is consistent in itself, and the files generated from it and checked in
// (lumetta.d.ts's typed block, the reference page) are what it generates now.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "modules/Reference.h"

using namespace lumetta::modules::reference;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string moduleOf(const std::string& name) {
    return name.substr(2, name.find('_') - 2);
}

constexpr const char* kBegin = "// BEGIN GENERATED from the bridge reference table\n";
constexpr const char* kEnd = "// END GENERATED\n";

}  // namespace

TEST(ReferenceTable, FunctionNamesAreUniqueAndBelongToAListedModule) {
    std::set<std::string> modulesListed, seen;
    for (auto& m : modules()) modulesListed.insert(m.name);
    for (auto& f : functions()) {
        EXPECT_TRUE(seen.insert(f.name).second) << "listed twice: " << f.name;
        if (f.name == "result") continue;
        ASSERT_EQ(f.name.rfind("$$", 0), 0u) << f.name;
        ASSERT_NE(f.name.find('_'), std::string::npos) << f.name;
        EXPECT_TRUE(modulesListed.count(moduleOf(f.name))) << "module not listed: " << f.name;
    }
}

TEST(ReferenceTable, EveryEventAFunctionNamesIsDescribed) {
    std::set<std::string> described;
    for (auto& e : events()) {
        EXPECT_TRUE(described.insert(e.module + " " + e.name).second)
            << "event listed twice: " << e.module << " " << e.name;
    }
    for (auto& f : functions())
        for (auto& e : f.events) EXPECT_TRUE(described.count(e)) << f.name << " causes " << e;
}

TEST(ReferenceTable, ResultKindsAreKnownAndArgumentsAreNamedWithText) {
    const std::set<std::string> kinds = {"v", "s", "json", "hex", "b", "d", "f"};
    for (auto& f : functions()) {
        std::stringstream parts(f.result);
        for (std::string part; std::getline(parts, part, '|');)
            EXPECT_TRUE(kinds.count(part)) << f.name << ": unknown result kind " << part;
        EXPECT_FALSE(f.summary.empty()) << f.name;
        EXPECT_FALSE(f.resultText.empty()) << f.name;
        for (auto* a : {&f.arg1, &f.arg2}) {
            if (!a->name.empty()) {
                EXPECT_FALSE(a->text.empty()) << f.name << " " << a->name;
            }
        }
    }
}

TEST(ReferenceTable, JsonListsEveryFunctionAndEvent) {
    auto parsed = nlohmann::json::parse(json());
    ASSERT_EQ(parsed["functions"].size(), functions().size());
    ASSERT_EQ(parsed["events"].size(), events().size());
    auto& stat = *std::find_if(parsed["functions"].begin(), parsed["functions"].end(),
                               [](auto& f) { return f["name"] == "$$fs_stat"; });
    EXPECT_EQ(stat["module"], "fs");
    EXPECT_EQ(stat["arg1"]["name"], "path");
    EXPECT_TRUE(stat["arg2"].is_null());
    EXPECT_EQ(stat["resultTags"], nlohmann::json({"s"}));
}

TEST(ReferenceTable, ResultTypesCollapseJsonAndHexToText) {
    EXPECT_EQ(resultType("json"), "TypedResult<'s'>");
    EXPECT_EQ(resultType("v|s"), "TypedResult<'v' | 's'>");
    EXPECT_EQ(resultType("hex"), "TypedResult<'s'>");
    EXPECT_EQ(resultType("d"), "TypedResult<'d'>");
}

TEST(ReferenceTable, TypeScriptNamesEveryPageFunctionAndEvent) {
    std::string ts = typeScript();
    for (auto& f : functions()) {
        if (f.name != "result") {
            EXPECT_NE(ts.find("'" + f.name + "': ("), std::string::npos) << f.name;
        }
    }
    EXPECT_NE(ts.find("'$$fs_readData': (path: string, options?: string | null) => "
                      "TypedResult<'s'>;"),
              std::string::npos);
    EXPECT_NE(ts.find("'$$tgif_param': (_arg1?: null, value?: string | null)"), std::string::npos);
    EXPECT_NE(ts.find("message: [hex: string, time: string];"), std::string::npos);
}

TEST(ReferenceTable, CheckedInDeclarationsHoldTheGeneratedBlock) {
    std::string dts = readFile(LUMETTA_RESOURCES "/html/lumetta.d.ts");
    auto begin = dts.find(kBegin), end = dts.find(kEnd);
    ASSERT_NE(begin, std::string::npos) << "lumetta.d.ts lacks the generated block";
    ASSERT_NE(end, std::string::npos);
    begin += std::string(kBegin).size();
    EXPECT_EQ(dts.substr(begin, end - begin), typeScript())
        << "lumetta.d.ts is stale: run `cmake --build build --target reference`";
}

TEST(ReferenceTable, CheckedInReferencePageIsCurrent) {
    EXPECT_EQ(readFile(LUMETTA_RESOURCES "/html/reference.html"), html())
        << "reference.html is stale: run `cmake --build build --target reference`";
}

TEST(ReferenceTable, ReferencePageEscapesMarkupInTexts) {
    std::string page = html();
    EXPECT_NE(page.find("$$fs_stat"), std::string::npos);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_NE(page.find("(fields) =&gt;"), std::string::npos);
}
