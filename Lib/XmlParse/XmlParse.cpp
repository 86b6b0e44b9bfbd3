#include "XmlParse/XmlParse.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xpath.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/Process/Log.h"

namespace quillbox {

namespace {

const char kErrorType[] = "//errorResult//type";
const char kErrorMessage[] = "//errorResult//message";
const char kResultType[] = "//result//type";
const char kResultMessage[] = "//result//message";
const char kResultId[] = "//result//id";
const char kResultIsComplete[] = "//result//isComplete";
const char kResultRealLength[] = "//result//realLength";
const char kPhoneEntries[] = "//result//phones//result";
const char* const kAccountFields[] = {"voiceRemainder", "balance", "level",
                                      "spaceTotal",     "apple",   "spaceUse"};
const char* const kPhoneFields[] = {"isRecordInSecret", "phone",  "figure",
                                    "analog",           "isMain", "isAuthed"};
const char kMissingNode[] = "XmlParse: the reply has no %s";

// Entities: only the five predefined ones exist. Declarations are dropped and
// nothing is resolved or loaded, so a reply can neither read a local file nor
// grow by expansion; a reference to a dropped entity makes the reply unusable.
xmlEntityPtr onGetEntity(void*, const xmlChar* name) {
  return xmlGetPredefinedEntity(name);
}
void onEntityDecl(void*, const xmlChar*, int, const xmlChar*, const xmlChar*, xmlChar*) {}
xmlParserInputPtr onResolveEntity(void*, const xmlChar*, const xmlChar*) {
  return nullptr;
}
void onExternalSubset(void*, const xmlChar*, const xmlChar*, const xmlChar*) {}
void onSilentError(void*, const char*, ...) {}

struct DocFree {
  void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
struct ContextFree {
  void operator()(xmlXPathContext* c) const { xmlXPathFreeContext(c); }
};

// One parsed reply with its XPath context.
class Reply {
 public:
  // nullptr when the text is not well-formed XML.
  static std::unique_ptr<Reply> parse(const std::string& text) {
    static std::once_flag init;
    std::call_once(init, [] { xmlInitParser(); });
    if (text.empty() || text.size() > static_cast<size_t>(INT32_MAX)) return nullptr;
    xmlParserCtxtPtr ctxt = xmlCreateMemoryParserCtxt(text.data(), static_cast<int>(text.size()));
    if (!ctxt) return nullptr;
    // The tree builder's handlers with the entity and DTD hooks replaced.
    xmlSAXVersion(ctxt->sax, 2);
    ctxt->sax->getEntity = onGetEntity;
    ctxt->sax->getParameterEntity = onGetEntity;
    ctxt->sax->entityDecl = onEntityDecl;
    ctxt->sax->resolveEntity = onResolveEntity;
    ctxt->sax->externalSubset = onExternalSubset;
    ctxt->sax->warning = onSilentError;
    ctxt->sax->error = onSilentError;
    ctxt->sax->fatalError = onSilentError;
    ctxt->sax->serror = nullptr;
    xmlCtxtUseOptions(ctxt, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    xmlParseDocument(ctxt);
    std::unique_ptr<xmlDoc, DocFree> doc(ctxt->myDoc);
    ctxt->myDoc = nullptr;
    bool wellFormed = ctxt->wellFormed != 0;
    xmlFreeParserCtxt(ctxt);
    if (!doc || !wellFormed) return nullptr;
    std::unique_ptr<xmlXPathContext, ContextFree> xpath(xmlXPathNewContext(doc.get()));
    if (!xpath) return nullptr;
    auto reply = std::unique_ptr<Reply>(new Reply);
    reply->doc_ = std::move(doc);
    reply->xpath_ = std::move(xpath);
    return reply;
  }

  // The nodes of an expression, in document order.
  std::vector<xmlNodePtr> nodes(const char* expression) {
    std::vector<xmlNodePtr> out;
    xmlXPathObjectPtr result =
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expression), xpath_.get());
    if (!result) return out;
    if (result->type == XPATH_NODESET && result->nodesetval) {
      for (int i = 0; i < result->nodesetval->nodeNr; ++i)
        out.push_back(result->nodesetval->nodeTab[i]);
    }
    xmlXPathFreeObject(result);
    return out;
  }

 private:
  Reply() = default;
  std::unique_ptr<xmlDoc, DocFree> doc_;
  std::unique_ptr<xmlXPathContext, ContextFree> xpath_;
};

std::string stringValue(xmlNodePtr node) {
  xmlChar* text = xmlXPathCastNodeToString(node);
  if (!text) return "";
  std::string out(reinterpret_cast<const char*>(text));
  xmlFree(text);
  return out;
}

// The string value of the first node, or the read error.
std::string first(const std::vector<xmlNodePtr>& nodes, const char* expression) {
  if (nodes.empty()) throw XmlParseError(strprintf(kMissingNode, expression));
  return stringValue(nodes.front());
}

// Runs a reader's steps; its read errors are logged and raised again.
template <typename Steps>
PlistDict guarded(Steps steps) {
  try {
    return steps();
  } catch (const XmlParseError& e) {
    NSLog("%s", e.what());
    throw;
  }
}

}  // namespace

std::optional<PlistDict> XmlParse::parserToErrorXML(const std::string& text) {
  auto reply = Reply::parse(text);
  if (!reply) return std::nullopt;
  return guarded([&] {
    PlistDict dict;
    auto types = reply->nodes(kErrorType);
    auto messages = reply->nodes(kErrorMessage);
    dict.set("type", first(types, kErrorType));
    dict.set("message", first(messages, kErrorMessage));
    return dict;
  });
}

std::optional<PlistDict> XmlParse::parserToXML(const std::string& text) {
  auto reply = Reply::parse(text);
  if (!reply) return std::nullopt;
  auto types = reply->nodes(kResultType);
  auto messages = reply->nodes(kResultMessage);
  if (types.empty() || messages.empty()) return parserToErrorXML(text);
  PlistDict dict;
  dict.set("type", stringValue(types.front()));
  dict.set("message", stringValue(messages.front()));
  return dict;
}

std::optional<PlistDict> XmlParse::parserToCreateFile(const std::string& text) {
  auto reply = Reply::parse(text);
  if (!reply) return std::nullopt;
  auto ids = reply->nodes(kResultId);
  auto types = reply->nodes(kResultType);
  auto messages = reply->nodes(kResultMessage);
  auto complete = reply->nodes(kResultIsComplete);
  auto lengths = reply->nodes(kResultRealLength);
  if (types.empty()) return parserToErrorXML(text);
  return guarded([&] {
    PlistDict dict;
    if (!ids.empty()) dict.set("id", stringValue(ids.front()));
    if (!complete.empty()) dict.set("isComplete", stringValue(complete.front()));
    if (!lengths.empty()) dict.set("realLength", stringValue(lengths.front()));
    dict.set("type", stringValue(types.front()));
    dict.set("message", first(messages, kResultMessage));
    return dict;
  });
}

std::optional<PlistDict> XmlParse::parserToInitialization(const std::string& text) {
  auto reply = Reply::parse(text);
  if (!reply) return std::nullopt;
  std::vector<std::vector<xmlNodePtr>> fields;
  for (const char* name : kAccountFields)
    fields.push_back(reply->nodes(("//result//" + std::string(name)).c_str()));
  if (fields.front().empty()) return parserToErrorXML(text);
  PlistDict dict;
  for (size_t i = 0; i < fields.size(); ++i)
    if (!fields[i].empty()) dict.set(kAccountFields[i], stringValue(fields[i].front()));
  PlistArray phones;
  for (xmlNodePtr entry : reply->nodes(kPhoneEntries)) {
    if (entry->type != XML_ELEMENT_NODE) continue;
    PlistDict phone;
    for (xmlNodePtr child = entry->children; child; child = child->next) {
      if (child->type != XML_ELEMENT_NODE) continue;
      const char* name = reinterpret_cast<const char*>(child->name);
      for (const char* known : kPhoneFields) {
        // An element without content stores "" rather than failing the reply.
        if (std::strcmp(name, known) == 0)
          phone.set(known, child->children ? stringValue(child->children) : std::string());
      }
    }
    phones.push_back(PlistValue(std::move(phone)));
  }
  dict.set("phones", PlistValue(std::move(phones)));
  return dict;
}

}  // namespace quillbox
