#pragma once

#include <fstream>
#include <json/json.h>
#include <string>
#include <vector>

// One JSON document read from a stream (or given as text), with member lookup and conversions.
// Accessors work on copies and never change the document. A node of the wrong kind makes the
// JSON library throw Json::LogicError; callers that face untrusted files check kinds first.
class JsonDoc
{
public:
    explicit JsonDoc(std::ifstream& stream);
    // The string is the JSON text itself.
    explicit JsonDoc(std::string& text);
    ~JsonDoc() = default;

    JsonDoc(const JsonDoc&) = delete;
    JsonDoc& operator=(const JsonDoc&) = delete;

    // Parses the stream or text; on failure writes the "datamgr" ERROR record.
    bool parse();
    // The same parse without the record: the reader's report goes to `errors` so that a caller
    // facing a repeating failure can limit how often it is written (see logParseFailure).
    bool parse(std::string& errors);
    static void logParseFailure(const std::string& errors);

    const Json::Value& getRoot() const { return m_root; }

    bool isNodePresent(const char* key);
    bool isNodePresent(const char* key, const Json::Value& node);
    Json::Value getNode(const char* key);
    Json::Value getNode(const char* key, const Json::Value& node);
    bool isNodeNull(Json::Value& node);

    std::string getStringValue(const char* key, const Json::Value& node);
    std::string getStringValue(const Json::Value& node);
    unsigned int getUIntValue(const char* key, const Json::Value& node);
    unsigned int getUIntValue(const Json::Value& node);

    void displayNode(Json::Value& node);
    std::vector<std::string> getKeys(Json::Value& node);

private:
    std::ifstream* m_stream; // not owned; null when the document was built from text
    Json::Value m_root;
    std::string m_text;
};
