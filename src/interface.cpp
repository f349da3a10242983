// The ten exported functions: a thin layer over one process-wide engine and its stream. The
// interface's own rules live here: exceptions stop at the boundary, a failure's message becomes
// the last error, and a report reaches the host only on success.
#include "conversion/clone.h"
#include "conversion/convert.h"
#include "defaults.h"
#include "engine/report.h"
#include "ondrelix.h"
#include "ondrelix_version.h"

namespace qv {

engine &default_engine() {
  static never_destroyed<engine> instance;
  return instance.get();
}

stream &default_stream() {
  static never_destroyed<stream> instance;
  return instance.get();
}

}  // namespace qv

namespace {

void publish_init_report(const qv::engine &engine, const char **report) {
  const char *names[qv::kMaxVoices];
  const qv::voice_catalogue &voices = engine.voices();
  for (int i = 0; i < voices.count(); ++i) names[i] = voices.entry(i).name;
  qv::report_builder()
      .strings("voices", names, voices.count())
      .boolean("custom_available", true)
      .boolean("realtime", true)
      .text("engine", "openvoice_v2")
      .text("version", "1.0.0")  // the report's own fixed text, not the library's version
      .publish(report);
}

// Stops a running stream (the worker uses both sessions) and publishes its report: through
// `report` for ondrelix_rt_stop, into the report buffer alone for a teardown.
void stop_stream(const char **report) {
  qv::stream &stream = qv::default_stream();
  stream.stop();
  stream.publish_stop_report(report);
}

void teardown() {
  if (!qv::default_engine().initialized()) return;
  if (qv::default_stream().running()) stop_stream(nullptr);
  qv::default_engine().stop();
}

}  // namespace

extern "C" ONDRELIX_API int ondrelix_init(const char *models_dir, const char **report) {
  return qv::guard_export("ondrelix_init", -1, [&] {
    teardown();
    qv::engine &engine = qv::default_engine();
    const qv::status started = engine.start(models_dir);
    if (!started.ok()) return report_failure(started);
    publish_init_report(engine, report);
    return 0;
  });
}

extern "C" ONDRELIX_API void ondrelix_cleanup(void) {
  qv::guard_export(nullptr, 0, [] {
    teardown();
    return 0;
  });
}

extern "C" ONDRELIX_API const char *ondrelix_version(void) { return ONDRELIX_VERSION_TEXT; }

extern "C" ONDRELIX_API const char *ondrelix_last_error(void) { return last_error_text(); }

extern "C" ONDRELIX_API int ondrelix_convert_file(const char *in_path, const char *out_path,
                                                  const char *voice, const char **report) {
  return qv::guard_export("ondrelix_convert_file", -1, [&] {
    const double start = now_ms();
    int64_t count = 0;
    const qv::status converted =
        qv::convert_file(qv::default_engine(), in_path, out_path, voice, count);
    if (!converted.ok()) return report_failure(converted);
    qv::publish_convert_report(voice, in_path, out_path, count, now_ms() - start, report);
    return 0;
  });
}

extern "C" ONDRELIX_API int ondrelix_load_voice(const char *wav_path, const char **report) {
  return qv::guard_export("ondrelix_load_voice", -1, [&] {
    qv::cloned_voice clone;
    qv::engine &engine = qv::default_engine();
    const qv::status cloned = qv::clone_voice(engine, wav_path, clone);
    if (!cloned.ok()) return report_failure(cloned);
    engine.voices().set_custom(clone.embedding);
    qv::publish_clone_report(clone, report);
    return 0;
  });
}

extern "C" ONDRELIX_API int ondrelix_rt_start(const char *voice, const char *options) {
  return qv::guard_export("ondrelix_rt_start", -1, [&] {
    return report_status(
        qv::default_stream().start(qv::default_engine(), voice, options, /*report_errors=*/true));
  });
}

extern "C" ONDRELIX_API int ondrelix_rt_write(const int16_t *samples, int count) {
  qv::stream &stream = qv::default_stream();
  if (!stream.running() || !samples || count <= 0) return -1;
  return qv::guard_export(nullptr, -1, [&] { return stream.write(samples, count); });
}

extern "C" ONDRELIX_API int ondrelix_rt_read(int16_t *out, int capacity, int *got) {
  if (!got || capacity <= 0 || !out) return -1;
  *got = 0;
  return qv::guard_export(nullptr, -1,
                          [&] { return qv::default_stream().read(out, capacity, got); });
}

extern "C" ONDRELIX_API int ondrelix_rt_stop(const char **report) {
  if (!qv::default_stream().running()) return 0;
  // Joining can only fail on a broken thread library; the stream is stopped either way.
  return qv::guard_export(nullptr, 0, [&] {
    stop_stream(report);
    return 0;
  });
}
