#include "json_text.h"

#include <yyjson.h>

#include <cstdlib>

namespace cli {

namespace {

std::string written(yyjson_mut_doc *doc) {
  char *text = yyjson_mut_write(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr);
  std::string json = text ? text : "{}";
  std::free(text);
  yyjson_mut_doc_free(doc);
  return json;
}

yyjson_mut_val *string_value(yyjson_mut_doc *doc, const std::string &text) {
  return yyjson_mut_strncpy(doc, text.data(), text.size());
}

}  // namespace

std::string json_strings(const std::vector<std::pair<std::string, std::string>> &members) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  for (const auto &[name, value] : members)
    yyjson_mut_obj_add(root, string_value(doc, name), string_value(doc, value));
  return written(doc);
}

std::string with_strings(const std::string &report,
                         const std::vector<std::pair<std::string, std::string>> &replacements) {
  yyjson_doc *doc = yyjson_read(report.data(), report.size(), YYJSON_READ_ALLOW_INVALID_UNICODE);
  if (!doc) return report;
  yyjson_mut_doc *copy = yyjson_doc_mut_copy(doc, nullptr);
  yyjson_doc_free(doc);
  yyjson_mut_val *root = yyjson_mut_doc_get_root(copy);
  for (const auto &[name, value] : replacements)
    yyjson_mut_obj_replace(root, string_value(copy, name), string_value(copy, value));
  return written(copy);
}

}  // namespace cli
