// The last-error text, the report buffer and the clock, as a host sees them.
#include <cstdarg>
#include <string>

#include "engine_fixture.h"

namespace {

// Declared first: gtest runs the tests of a file in order, so this one sees a fresh process.
TEST(Interface, LastErrorIsEmptyBeforeAnyFailure) {
  ASSERT_NE(ondrelix_last_error(), nullptr);
  EXPECT_STREQ(ondrelix_last_error(), "");
  EXPECT_STREQ(report_text(), "");
}

TEST(Interface, VersionIsStableInEveryState) {
  const char *v = ondrelix_version();
  EXPECT_STREQ(v, "1.1.0");
  ondrelix_init(nullptr, nullptr);
  EXPECT_EQ(ondrelix_version(), v);
  ondrelix_cleanup();
  EXPECT_EQ(ondrelix_version(), v);
  EXPECT_EQ(ondrelix_last_error(), last_error_text());
}

TEST(Interface, LongMessagesAreCutTo2047Bytes) {
  const std::string arg(3000, 'x');
  set_error("%s", arg.c_str());
  EXPECT_EQ(std::strlen(ondrelix_last_error()), 2047u);
  set_error("short %d", 7);
  EXPECT_STREQ(ondrelix_last_error(), "short 7");  // replaced whole, never appended
}

TEST(Interface, FailureThenSuccessKeepsTheFailureText) {
  qvt::models_dir dir;
  EXPECT_EQ(ondrelix_init("", nullptr), -1);
  ASSERT_EQ(ondrelix_init(dir.str().c_str(), nullptr), 0);
  EXPECT_STREQ(ondrelix_last_error(), "models_dir is NULL or empty");
  ondrelix_cleanup();
}

TEST(Interface, ReportBufferRules) {
  // Without an out-pointer the text is still replaced.
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_real(doc, root, "x", 2.0);
  publish_report(doc, nullptr);
  EXPECT_STREQ(report_text(), "{\"x\":2.0}");

  // A null document leaves the text and still hands out the buffer.
  const char *out = nullptr;
  publish_report(nullptr, &out);
  EXPECT_EQ(out, report_text());
  EXPECT_STREQ(report_text(), "{\"x\":2.0}");

  // A report longer than the buffer is cut to 4095 bytes.
  const std::string big(5000, 'a');
  doc = yyjson_mut_doc_new(nullptr);
  root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_strcpy(doc, root, "k", big.c_str());
  publish_report(doc, nullptr);
  EXPECT_EQ(std::strlen(report_text()), 4095u);

  // Invalid UTF-8 is written through, so the report still describes this operation.
  doc = yyjson_mut_doc_new(nullptr);
  root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_str(doc, root, "path",
                         "a\xff"
                         "b");
  publish_report(doc, nullptr);
  EXPECT_STREQ(report_text(),
               "{\"path\":\"a\xff"
               "b\"}");
}

TEST(Interface, ClockNeverGoesBackAndCountsMilliseconds) {
  const double a = now_ms();
  std::this_thread::sleep_for(std::chrono::milliseconds(15));
  const double b = now_ms();
  EXPECT_GE(b - a, 14.0);
  EXPECT_LT(b - a, 1000.0);
}

TEST(Interface, StopWithoutStreamTouchesNothing) {
  std::snprintf(report_buffer(), qv::kReportSize, "previous");
  const char *out = reinterpret_cast<const char *>(0x1);
  EXPECT_EQ(ondrelix_rt_stop(&out), 0);
  EXPECT_EQ(out, reinterpret_cast<const char *>(0x1));
  EXPECT_STREQ(report_text(), "previous");
}

}  // namespace
