// The packer's JSON writer and the digests files build --digests reads: what
// a script reading `--json`, and a release engineer's saved digests, rely on.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tests/host/pack/json_test_support.h"
#include "tools/pack/base/json_reader.h"
#include "tools/pack/base/json_writer.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/commands/read_digests_file.h"

namespace korvanthelm::pack {
namespace {

TEST(JsonWriter, StringsAreEscapedAndStayUtf8) {
    struct Case {
        std::string text;
        const char* json;
    };
    const Case cases[] = {
        {"plain/path.txt", R"("plain/path.txt")"},
        {"", R"("")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {"C:\\Users", R"("C:\\Users")"},
        {"a\nb\rc\td", R"("a\nb\rc\td")"},
        {std::string("nul\0x", 5), R"("nul\u0000x")"},
        {"\x01\x1f", R"("\u0001\u001f")"},
        {"\x7f", R"("\u007f")"},                                // DEL: a terminal would act on it
        {"/ and space stay", R"("/ and space stay")"},          // '/' needs no escape
        {"Файл ü €", "\"Файл ü €\""},                           // two- and three-byte forms pass
        {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},           // a four-byte form passes
        {"\xff", R"("\ufffd")"},                                // never a UTF-8 byte
        {"a\x80z", R"("a\ufffdz")"},                            // a lone continuation byte
        {"\xc0\xaf", R"("\ufffd\ufffd")"},                      // overlong '/'
        {"\xe0\x80\xaf", R"("\ufffd\ufffd\ufffd")"},            // overlong three-byte '/'
        {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},            // a UTF-16 surrogate
        {"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},  // above U+10FFFF
        {"\xe2\x82", R"("\ufffd\ufffd")"},                      // cut short at the end
        {"\xe2\x82x", R"("\ufffd\ufffdx")"},                    // cut short before ASCII
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JsonString(c.text), c.json) << c.json;
        // A strict parser reads it back, to the text itself where it was UTF-8.
        JsonWriter json;
        json.BeginObject().Key("k").String(c.text).EndObject();
        const auto leaves = test::ParseJson(json.Finish());
        EXPECT_EQ(leaves.count("k"), 1u) << c.json;
    }
    JsonWriter json;
    json.BeginObject().Key("quote\"key").String("a\"b\\c\n").EndObject();
    const auto leaves = test::ParseJson(json.Finish());
    EXPECT_EQ(leaves.at("quote\"key"), R"("a\"b\\c\n")");
}

TEST(JsonWriter, DocumentsNestAndMisuseIsRefused) {
    JsonWriter json;
    json.BeginObject().Key("n").Number(18446744073709551615u).Key("list").BeginArray();
    json.Bool(true).Null().BeginObject().EndObject().BeginArray().EndArray().String("x");
    json.EndArray().Key("b").Bool(false).EndObject();
    EXPECT_EQ(json.Finish(),
              "{\"n\":18446744073709551615,\"list\":[true,null,{},[],\"x\"],"
              "\"b\":false}\n");
    const auto leaves = test::ParseJson(json.Finish());
    EXPECT_EQ(leaves.at("list#"), "5");
    EXPECT_EQ(leaves.at("{}"), "n,list,b");

    struct Misuse {
        const char* what;
        void (*steps)(JsonWriter&);
    };
    const Misuse misuses[] = {
        {"a value without its key", [](JsonWriter& j) { j.BeginObject().Number(1); }},
        {"two keys in a row", [](JsonWriter& j) { j.BeginObject().Key("a").Key("b"); }},
        {"a key in an array", [](JsonWriter& j) { j.BeginArray().Key("a"); }},
        {"a close that matches no open", [](JsonWriter& j) { j.BeginObject().EndArray(); }},
        {"a key without its value", [](JsonWriter& j) { j.BeginObject().Key("a").EndObject(); }},
        {"a second document", [](JsonWriter& j) { j.BeginObject().EndObject().Null(); }},
        {"unfinished", [](JsonWriter& j) { j.BeginObject().Key("a").Null().Finish(); }},
        {"nothing written", [](JsonWriter& j) { (void)j.Finish(); }},
    };
    for (const Misuse& misuse : misuses) {
        JsonWriter writer;
        EXPECT_THROW(misuse.steps(writer), std::logic_error) << misuse.what;
    }
}

// The reader takes what the writer makes, and refuses what is not exactly
// one JSON document, saying where.
TEST(JsonReader, ReadsOneDocumentAndSaysWhereAnotherIsBroken) {
    JsonWriter writer;
    writer.BeginObject().Key("command").String("pack").Key("n").Number(18446744073709551615u);
    writer.Key("list").BeginArray().Bool(true).Null().BeginObject().Key("k").String("a\"b\\\n\x01");
    writer.EndObject().EndArray().Key("name").String("Файл \xF0\x9F\x98\x80").EndObject();
    std::string error;
    const std::optional<JsonValue> read = ParseJson(writer.Finish(), error);
    ASSERT_TRUE(read.has_value()) << error;
    ASSERT_EQ(read->kind, JsonValue::Kind::kObject);
    EXPECT_EQ(read->Member("command")->text, "pack");
    EXPECT_EQ(read->Member("n")->text, "18446744073709551615");
    EXPECT_EQ(read->Member("n")->kind, JsonValue::Kind::kNumber);
    const JsonValue& list = *read->Member("list");
    ASSERT_EQ(list.items.size(), 3u);
    EXPECT_TRUE(list.items[0].boolean);
    EXPECT_EQ(list.items[1].kind, JsonValue::Kind::kNull);
    EXPECT_EQ(list.items[2].Member("k")->text, "a\"b\\\n\x01");
    EXPECT_EQ(read->Member("name")->text, "Файл \xF0\x9F\x98\x80");
    EXPECT_EQ(read->Member("missing"), nullptr);

    struct Case {
        std::string text;
        const char* error;            // nullptr: well-formed
        const char* value = nullptr;  // the string "s" holds, when given
    };
    const Case cases[] = {
        {" {\"s\": \"\\u00e9\\ud83d\\ude00\\/\"} \n", nullptr, "\xC3\xA9\xF0\x9F\x98\x80/"},
        {"[1, -0.5e+3, 0, 2E7]", nullptr},
        {"{}", nullptr},
        {"", "byte 1: the document ends where a value should be"},
        {"{\"s\": \"a\",}", "byte 11: an object's key must be a string"},
        {"{\"s\": 1, \"s\": 2}", "byte 10: a key repeats an earlier one"},
        {"{\"s\": \"open", "a string is not closed"},
        {"{\"s\": \"a\tb\"}", "a control character inside a string"},
        {"{\"s\": \"\\ude00\"}", "a lone low surrogate"},
        {"{\"s\": \"\\ud83d\"}", "a high surrogate without its low one"},
        {"{\"s\": \"\\x41\"}", "an unknown escape"},
        {"{\"s\": \"\\u12\"}", "\\u needs four hexadecimal digits"},
        {"[01]", "byte 3: an array's item must be followed by ',' or ']'"},
        {"[1.]", "a number's fraction has no digits"},
        {"[1e]", "a number's exponent has no digits"},
        {"[-]", "not a JSON value"},
        {"[tru]", "not a JSON value"},
        {"{\"s\" 1}", "a key must be followed by ':'"},
        {"{} {}", "byte 4: more after the document"},
        {std::string(64, '[') + std::string(64, ']'), nullptr},
        {std::string(66, '[') + std::string(66, ']'), "nested more than 64 levels deep"},
        {std::string(65, '[') + std::string(65, ']'), "byte 65: nested more than 64 levels deep"},
        {"{\"s\": " + std::string(63, '[') + "{}" + std::string(63, ']') + "}",
         "nested more than 64 levels deep"},
        // Only objects and arrays open a level: 64 of them may hold a number.
        {std::string(64, '[') + "1" + std::string(64, ']'), nullptr},
        // A high surrogate needs a low one (DC00..DFFF) right after it; the
        // code points past the low ones are no low surrogate.
        {"{\"s\": \"\\ud83d\\ue000\"}", "a high surrogate without its low one"},
        {"{\"s\": \"\\ud83d\\uffff\"}", "a high surrogate without its low one"},
        {"{\"s\": \"\\ud83d\\udbff\"}", "a high surrogate without its low one"},
        {"{\"s\": \"\\udbff\\udfff\"}", nullptr, "\xF4\x8F\xBF\xBF"},  // U+10FFFF
        {"{\"s\": \"\\ud800\\udc00\"}", nullptr, "\xF0\x90\x80\x80"},  // U+10000
        // 0x1F is the last control character JSON refuses raw; DEL is text.
        {"{\"s\": \"a\x1F"
         "b\"}",
         "a control character inside a string"},
        {"{\"s\": \"a\x7F"
         "b\"}",
         nullptr,
         "a\x7F"
         "b"},
        {"{\"s\": \" \"}", nullptr, " "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string why;
        const std::optional<JsonValue> value = ParseJson(c.text, why);
        EXPECT_EQ(value.has_value(), c.error == nullptr) << why;
        if (c.error != nullptr) {
            EXPECT_NE(why.find(c.error), std::string::npos) << why;
        }
        if (value && c.value != nullptr) {
            ASSERT_NE(value->Member("s"), nullptr);
            EXPECT_EQ(value->Member("s")->text, c.value);
        }
    }
}

TEST(ReadDigestsFile, TakesEveryFormPackWritesAndRefusesTheRest) {
    const std::string p(64, 'a');
    const std::string e(64, 'b');
    const std::string j(64, 'c');
    const std::string plain =
        "PackageDigest " + p + "\nLauncherExeDigest " + e + "\nLauncherJarDigest " + j + "\n";
    const std::string cmake =
        "# Digests of a package made by korvanthelm-pack; included.\n"
        "set(KORVANTHELM_PACKAGE_SHA256 \"" +
        p + "\")\nset(KORVANTHELM_LAUNCHER_EXE_SHA256 \"" + e +
        "\")\nset(KORVANTHELM_LAUNCHER_JAR_SHA256 \"" + j + "\")\n";
    const std::string header =
        "// made by korvanthelm-pack.\n#pragma once\n"
        "#define KORVANTHELM_PACKAGE_SHA256 \"" +
        p + "\"\n#define KORVANTHELM_LAUNCHER_EXE_SHA256 \"" + e +
        "\"\n#define KORVANTHELM_LAUNCHER_JAR_SHA256 \"" + j + "\"\n";
    struct Case {
        const char* what;
        std::string text;
        const char* error;  // nullptr: read as p, e, j
    };
    const Case cases[] = {
        {"pack's standard output", plain, nullptr},
        {"--digests-cmake", cmake, nullptr},
        {"--digests-header", "// x\n" + header.substr(header.find("#pragma")), nullptr},
        {"CRLF line ends and blank lines", "\r\n" + plain.substr(0, 78) + "\r\n" + plain.substr(79),
         nullptr},
        {"the lines in another order",
         "LauncherJarDigest " + j + "\nPackageDigest " + p + "\nLauncherExeDigest " + e, nullptr},
        {"one missing", plain.substr(0, plain.rfind("LauncherJar")), "has no LauncherJarDigest"},
        {"one twice", plain + "PackageDigest " + p + "\n", "line 4: PackageDigest given twice"},
        {"upper-case hex", "PackageDigest " + std::string(64, 'A') + "\n",
         "line 1: a digest must be 64 lowercase"},
        {"a short digest", "PackageDigest " + p.substr(1) + "\n", "line 1: a digest must be"},
        {"an unknown name", "PackageDigests " + p + "\n", "line 1: not a digest line"},
        {"cmake without quotes", "set(KORVANTHELM_PACKAGE_SHA256 " + p + ")\n",
         "line 1: not a digest line"},
        {"cmake without its parenthesis", "set(KORVANTHELM_PACKAGE_SHA256 \"" + p + "\"\n",
         "line 1: not a digest line"},
        {"a name alone", "PackageDigest\n", "line 1: not a digest line"},
        {"empty", "", "has no PackageDigest"},
        // What `pack --json` prints, as a script saves it.
        {"pack --json",
         "{\"command\":\"pack\",\"package_file\":\"p.bin\",\"package_digest\":\"" + p +
             "\",\"launcher_exe_digest\":\"" + e + "\",\"launcher_jar_digest\":\"" + j +
             "\",\"entry_count\":4,\"unpacked_size\":10,\"package_size\":9,\"warnings\":[{"
             "\"kind\":\"long_path\",\"path\":null,\"message\":\"a \\\"b\\\"\"}]}\n",
         nullptr},
        {"pack --json, pretty-printed by a script",
         "{\n  \"command\": \"pack\",\n  \"launcher_jar_digest\": \"" + j +
             "\",\n  \"package_digest\": \"" + p + "\",\n  \"launcher_exe_digest\": \"" + e +
             "\"\n}\n",
         nullptr},
        {"build --json", "{\"command\":\"build\",\"package_digest\":\"" + p + "\"}",
         "a JSON document of \"build\", not of pack --json"},
        {"a \"command\" that is a number", "{\"command\":1,\"package_digest\":\"" + p + "\"}",
         "a JSON document without \"command\", not one of pack --json"},
        {"a \"command\" that is an array", "{\"command\":[\"pack\"]}",
         "a JSON document without \"command\""},
        {"no \"command\"", "{\"package_digest\":\"" + p + "\"}",
         "a JSON document without \"command\""},
        // A document a script saved after a blank line is still that document.
        {"pack --json after a blank line",
         "\n{\"command\":\"pack\",\"package_digest\":\"" + p + "\",\"launcher_exe_digest\":\"" + e +
             "\",\"launcher_jar_digest\":\"" + j + "\"}\n",
         nullptr},
        {"pack --json after CRLF and blanks",
         "\r\n  \t{\"command\":\"pack\",\"package_digest\":\"" + p +
             "\",\"launcher_exe_digest\":\"" + e + "\",\"launcher_jar_digest\":\"" + j + "\"}",
         nullptr},
        {"pack --json without a digest",
         "{\"command\":\"pack\",\"package_digest\":\"" + p + "\",\"launcher_exe_digest\":\"" + e +
             "\"}",
         "has no launcher_jar_digest"},
        {"pack --json with a digest that is no digest",
         "{\"command\":\"pack\",\"package_digest\":\"" + p + "\",\"launcher_exe_digest\":\"" + e +
             "\",\"launcher_jar_digest\":null}",
         "launcher_jar_digest must be 64 lowercase hexadecimal digits"},
        {"broken JSON", "{\"command\":\"pack\",\"package_digest\":\"" + p,
         "not a JSON document: byte 101: a string is not closed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            const ExecutableDigests digests = ParseDigestsText(c.text, "d.txt");
            EXPECT_EQ(c.error, nullptr);
            EXPECT_EQ(digests.package, p);
            EXPECT_EQ(digests.launcher_exe, e);
            EXPECT_EQ(digests.launcher_jar, j);
        } catch (const PackError& error) {
            ASSERT_NE(c.error, nullptr) << error.what();
            EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find("\"d.txt\""), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace korvanthelm::pack
