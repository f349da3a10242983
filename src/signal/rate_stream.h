// The windowed-sinc resampler over a signal that arrives in pieces: each output is given as soon
// as every input it weighs has arrived, bit for bit the value qv_resample gives on the whole
// signal. Pure signal code: no engine state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class qv_rate_stream {
 public:
  qv_rate_stream(int32_t in_rate, int32_t out_rate) : in_rate_(in_rate), out_rate_(out_rate) {}

  void push(const float *samples, size_t count);
  // Appends every output that the input so far determines.
  void pull(std::vector<float> &out);
  // The input has ended: appends the remaining outputs (qv_resample's count in all).
  void finish(std::vector<float> &out);

  int64_t received() const { return received_; }
  int64_t produced() const { return produced_; }
  // Inputs needed before `outputs` outputs can be pulled.
  int64_t inputs_for(int64_t outputs) const;

 private:
  void produce(int64_t end, int64_t total, std::vector<float> &out);
  int32_t in_rate_, out_rate_;
  std::vector<float> history_;  // inputs from first_ on
  int64_t first_ = 0;
  int64_t received_ = 0;
  int64_t produced_ = 0;
};
