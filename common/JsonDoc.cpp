#include "common/JsonDoc.h"

#include "common/Logger.h"

#include <iostream>
#include <sstream>

JsonDoc::JsonDoc(std::ifstream& stream) : m_stream(&stream), m_root(Json::nullValue) {}

JsonDoc::JsonDoc(std::string& text) : m_stream(nullptr), m_root(Json::nullValue), m_text(text) {}

bool JsonDoc::parse()
{
    std::string errors;
    if (!parse(errors))
    {
        logParseFailure(errors);
        return false;
    }
    return true;
}

bool JsonDoc::parse(std::string& errors)
{
    Json::Reader reader(Json::Features::all());
    try
    {
        const bool ok = m_stream != nullptr ? reader.parse(*m_stream, m_root, false)
                                            : reader.parse(m_text, m_root, false);
        errors = ok ? std::string() : reader.getFormattedErrorMessages();
        return ok;
    }
    catch (const Json::Exception& error)
    {
        // The reader throws instead of reporting for text nested deeper than its limit (1000
        // levels): that is a document it cannot parse like any other.
        m_root = Json::Value();
        errors = error.what();
        return false;
    }
}

void JsonDoc::logParseFailure(const std::string& errors)
{
    LOG_DATA(ERROR) << "Failed to parse configuration\n" << errors;
}

bool JsonDoc::isNodePresent(const char* key)
{
    return isNodePresent(key, m_root);
}

bool JsonDoc::isNodePresent(const char* key, const Json::Value& node)
{
    return node.isObject() && node.isMember(key);
}

Json::Value JsonDoc::getNode(const char* key)
{
    return getNode(key, m_root);
}

Json::Value JsonDoc::getNode(const char* key, const Json::Value& node)
{
    // Subscript on a copy: a missing member yields null without growing the document.
    Json::Value copy = node;
    return copy[key];
}

bool JsonDoc::isNodeNull(Json::Value& node)
{
    return node.isNull();
}

std::string JsonDoc::getStringValue(const char* key, const Json::Value& node)
{
    return node.get(key, Json::Value("")).asString();
}

std::string JsonDoc::getStringValue(const Json::Value& node)
{
    return node.asString();
}

unsigned int JsonDoc::getUIntValue(const char* key, const Json::Value& node)
{
    return node.get(key, Json::Value(4294967295U)).asUInt();
}

unsigned int JsonDoc::getUIntValue(const Json::Value& node)
{
    return node.asUInt();
}

void JsonDoc::displayNode(Json::Value& node)
{
    std::cout << node.toStyledString();
}

std::vector<std::string> JsonDoc::getKeys(Json::Value& node)
{
    return node.getMemberNames();
}
