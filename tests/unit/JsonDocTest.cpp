#include "common/JsonDoc.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace
{
// A document over a real file stream, as the daemon reads the service-information file.
class FileDoc
{
public:
    explicit FileDoc(const std::string& content)
    {
        char name[] = "/tmp/jsondoc-XXXXXX";
        const int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        close(fd);
        m_path = name;
        std::ofstream(m_path) << content;
        m_stream.open(m_path);
    }
    ~FileDoc() { std::remove(m_path.c_str()); }
    std::ifstream& stream() { return m_stream; }

private:
    std::string m_path;
    std::ifstream m_stream;
};

TEST(JsonDoc, ParseOutcomesAndRecords)
{
    struct Case
    {
        const char* content;
        bool parsed;
    };
    const Case cases[] = {
        {"{\"uuid\": \"a\"}", true},
        {"// written by the service daemon\n{\"uuid\": \"a\"} /* trailing */", true},
        {"42", true},
        {"[1, 2]", true},
        {"", false},
        {"{\"uuid\": ", false},
        {"not json", false},
    };
    for (const Case& c : cases)
    {
        LogCapture::clear();
        FileDoc file(c.content);
        JsonDoc doc(file.stream());
        EXPECT_EQ(doc.parse(), c.parsed) << c.content;
        std::size_t errors = 0;
        for (const LogRecord& r : LogCapture::records())
        {
            if (r.logger == "datamgr" && r.level == LogLevel::ERROR)
            {
                ++errors;
                EXPECT_EQ(r.message.rfind("Failed to parse configuration\n", 0), 0U) << r.message;
                EXPECT_GT(r.message.size(), std::string("Failed to parse configuration\n").size());
            }
        }
        EXPECT_EQ(errors, c.parsed ? 0U : 1U) << c.content;
        EXPECT_EQ(LogCapture::records().size(), errors) << "only parse failures are logged";
    }
}

TEST(JsonDoc, DocumentFromTextParsesTheText)
{
    std::string text = "{\"uuid\": \"from-text\"}";
    JsonDoc doc(text);
    ASSERT_TRUE(doc.parse());
    Json::Value node = doc.getNode("uuid");
    EXPECT_EQ(doc.getStringValue(node), "from-text");

    std::string empty;
    JsonDoc none(empty);
    EXPECT_FALSE(none.parse());
}

TEST(JsonDoc, LookupsOnObjectAndNullRoot)
{
    std::string text = "{\"uuid\": \"u\", \"nothing\": null, \"n\": 7}";
    JsonDoc doc(text);
    ASSERT_TRUE(doc.parse());
    EXPECT_TRUE(doc.isNodePresent("uuid"));
    EXPECT_TRUE(doc.isNodePresent("nothing"));
    Json::Value missing = doc.getNode("absent");
    EXPECT_TRUE(doc.isNodeNull(missing));
    EXPECT_FALSE(doc.isNodePresent("absent")) << "a lookup must not add the member";
    EXPECT_EQ(doc.getKeys(const_cast<Json::Value&>(doc.getRoot())).size(), 3U);

    std::string nothing = "null";
    JsonDoc nullDoc(nothing);
    ASSERT_TRUE(nullDoc.parse());
    EXPECT_FALSE(nullDoc.isNodePresent("uuid"));
    Json::Value node = nullDoc.getNode("uuid");
    EXPECT_TRUE(nullDoc.isNodeNull(node));
    Json::Value null;
    EXPECT_TRUE(nullDoc.getKeys(null).empty());
}

TEST(JsonDoc, ConversionsAndDefaults)
{
    std::string text = R"({"s": "text", "b": true, "f": false, "i": 42, "r": 3.9, "z": null,
                           "big": 4294967295, "neg": -1, "a": [1], "o": {"k": 1}})";
    JsonDoc doc(text);
    ASSERT_TRUE(doc.parse());
    const Json::Value& root = doc.getRoot();

    struct StringCase
    {
        const char* key;
        std::string text;
    };
    for (const StringCase& c :
         {StringCase{"s", "text"}, StringCase{"b", "true"}, StringCase{"f", "false"},
          StringCase{"i", "42"}, StringCase{"z", ""}, StringCase{"missing", ""}})
    {
        EXPECT_EQ(doc.getStringValue(c.key, root), c.text) << c.key;
    }
    struct UIntCase
    {
        const char* key;
        unsigned int value;
    };
    for (const UIntCase& c :
         {UIntCase{"i", 42U}, UIntCase{"r", 3U}, UIntCase{"b", 1U}, UIntCase{"f", 0U},
          UIntCase{"z", 0U}, UIntCase{"big", 4294967295U}, UIntCase{"missing", 4294967295U}})
    {
        EXPECT_EQ(doc.getUIntValue(c.key, root), c.value) << c.key;
    }
    EXPECT_EQ(doc.getStringValue(doc.getNode("i")), "42");
    EXPECT_EQ(doc.getUIntValue(doc.getNode("i")), 42U);

    // Nodes of the wrong kind raise the library's error; the daemon checks kinds before these.
    EXPECT_THROW(doc.getStringValue(doc.getNode("a")), Json::LogicError);
    EXPECT_THROW(doc.getStringValue(doc.getNode("o")), Json::LogicError);
    EXPECT_THROW(doc.getUIntValue(doc.getNode("s")), Json::LogicError);
    EXPECT_THROW(doc.getUIntValue(doc.getNode("neg")), Json::LogicError);
    EXPECT_THROW(doc.getNode("k", doc.getNode("a")), Json::LogicError);
}

// Regression: a file nested deeper than the JSON reader's depth limit made parse() throw
// Json::RuntimeError, which ended the daemon instead of failing the read.
TEST(JsonDoc, RegressionDeepNestingIsAParseFailureNotAnException)
{
    for (const std::string& text : {std::string(1001, '['), std::string(5000, '['),
                                    "{\"uuid\": " + std::string(2000, '[') + "1"})
    {
        LogCapture::clear();
        FileDoc file(text);
        JsonDoc doc(file.stream());
        bool parsed = true;
        EXPECT_NO_THROW(parsed = doc.parse());
        EXPECT_FALSE(parsed);
        ASSERT_EQ(LogCapture::records().size(), 1U);
        EXPECT_EQ(LogCapture::records()[0].logger, "datamgr");
        EXPECT_EQ(LogCapture::records()[0].message.rfind("Failed to parse configuration\n", 0), 0U);
    }
}

TEST(JsonDoc, DisplayNodeWritesStyledLines)
{
    std::string text = "{\"a\": 1, \"b\": \"two\"}";
    JsonDoc doc(text);
    ASSERT_TRUE(doc.parse());
    testing::internal::CaptureStdout();
    doc.displayNode(const_cast<Json::Value&>(doc.getRoot()));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GE(std::count(out.begin(), out.end(), '\n'), 3);
    EXPECT_EQ(out.back(), '\n');
}
} // namespace
