// A test base for the engine: every test starts and ends with the engine torn down.
#pragma once

#include <yyjson.h>

#include <string>

#include "engine_state.h"
#include "ondrelix.h"
#include "test_support.h"

namespace qvt {

class engine_test : public ::testing::Test {
 protected:
  void SetUp() override { ondrelix_cleanup(); }
  void TearDown() override {
    ondrelix_rt_stop(nullptr);
    ondrelix_cleanup();
  }
  // Starts the engine on a models folder; fails the test when it cannot.
  void init(const std::string &dir) {
    const char *report = nullptr;
    ASSERT_EQ(ondrelix_init(dir.c_str(), &report), 0) << ondrelix_last_error();
  }
};

// The engine started on a fresh copy of the fixture models, with a scratch folder.
class started_engine_test : public engine_test {
 protected:
  models_dir models;
  temp_dir work;
  void SetUp() override {
    engine_test::SetUp();
    init(models.str());
  }
};

// The last error is `message`, or begins with it when `prefix` is set (runtime messages follow
// the label).
inline void expect_last_error(const std::string &message, bool prefix) {
  const std::string err = ondrelix_last_error();
  if (prefix)
    EXPECT_EQ(err.rfind(message, 0), 0u) << err;
  else
    EXPECT_EQ(err, message);
}

// A parsed JSON report. Member order is checked through keys().
class json {
 public:
  explicit json(const char *text) : doc_(yyjson_read(text, std::strlen(text), 0)) {}
  ~json() { yyjson_doc_free(doc_); }
  json(const json &) = delete;
  json &operator=(const json &) = delete;
  bool ok() const { return doc_ && yyjson_is_obj(yyjson_doc_get_root(doc_)); }
  yyjson_val *get(const char *key) const { return yyjson_obj_get(yyjson_doc_get_root(doc_), key); }
  double num(const char *key) const { return yyjson_get_num(get(key)); }
  std::string str(const char *key) const {
    const char *s = yyjson_get_str(get(key));
    return s ? s : "<missing>";
  }
  std::string keys() const {
    std::string out;
    yyjson_obj_iter it = yyjson_obj_iter_with(yyjson_doc_get_root(doc_));
    while (yyjson_val *k = yyjson_obj_iter_next(&it))
      out += std::string(out.empty() ? "" : ",") + yyjson_get_str(k);
    return out;
  }

 private:
  yyjson_doc *doc_;
};

}  // namespace qvt
