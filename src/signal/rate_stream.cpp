#include "signal/rate_stream.h"

#include <algorithm>

#include "signal/resample.h"

void qv_rate_stream::push(const float *samples, size_t count) {
  history_.insert(history_.end(), samples, samples + count);
  received_ += static_cast<int64_t>(count);
}

int64_t qv_rate_stream::inputs_for(int64_t outputs) const {
  return qv_resample_inputs_needed(outputs, in_rate_, out_rate_);
}

void qv_rate_stream::produce(int64_t end, int64_t total, std::vector<float> &out) {
  if (end <= produced_) return;
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(end - produced_));
  qv_resample_span(history_.data(), first_, static_cast<int64_t>(history_.size()), total, in_rate_,
                   out_rate_, produced_, end, out.data() + at);
  produced_ = end;
  // Drop the inputs no later output weighs (in bulk, so that trimming stays cheap).
  const int64_t keep = qv_resample_first_input(produced_, in_rate_, out_rate_);
  if (keep - first_ > static_cast<int64_t>(history_.size() / 2)) {
    const int64_t drop = std::min<int64_t>(keep, received_) - first_;
    history_.erase(history_.begin(), history_.begin() + drop);
    first_ += drop;
  }
}

void qv_rate_stream::pull(std::vector<float> &out) {
  // The last output whose inputs have all arrived: estimated from the rates (an output reaches
  // half a kernel and one sample past its position), then settled.
  int64_t end = qv_resample_length(std::max<int64_t>(received_ - (qv::kResamplerHalfWidth + 1), 0),
                                   in_rate_, out_rate_);
  while (end > produced_ && inputs_for(end) > received_) --end;
  while (inputs_for(end + 1) <= received_) ++end;
  produce(end, INT64_MAX, out);
}

void qv_rate_stream::finish(std::vector<float> &out) {
  produce(qv_resample_length(received_, in_rate_, out_rate_), received_, out);
}
