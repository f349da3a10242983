#!/usr/bin/python3
"""Writes the default voice models and stock voices into a directory:

    make_models.py OUT_DIR

  openvoice_speaker.onnx     "spec" [1, 513, T] -> "speaker" [1, 256, 1]
  openvoice_converter.onnx   "spec", "spec_lengths", "g_src", "g_tgt", "noise", "tau" -> "audio"
  female.bin, deep.bin, robot.bin   256 little-endian float32 each

See README.md in this folder for what the models do and how the voices are defined.
"""
import os
import sys

import numpy as np
from onnx import TensorProto, helper

import voice
from graph import OnnxBackend


def spec_input():
    return helper.make_tensor_value_info("spec", TensorProto.FLOAT, [1, voice.BINS, "T"])


def named_output(B, value, name):
    B.nodes.append(helper.make_node("Identity", [value], [name], name=name))


def speaker_model():
    B = OnnxBackend()
    named_output(B, voice.speaker_encoder(B, "spec"), "speaker")
    out = helper.make_tensor_value_info("speaker", TensorProto.FLOAT, [1, voice.EMB, 1])
    return B.finish([spec_input()], [out], "quorvane_speaker_encoder")


def converter_model(with_probes=False):
    B = OnnxBackend(with_probes)
    audio = voice.converter(B, "spec", "spec_lengths", "g_src", "g_tgt", "noise", "tau")
    named_output(B, audio, "audio")
    inputs = [
        spec_input(),
        helper.make_tensor_value_info("spec_lengths", TensorProto.INT64, [1]),
        helper.make_tensor_value_info("g_src", TensorProto.FLOAT, [1, voice.EMB, 1]),
        helper.make_tensor_value_info("g_tgt", TensorProto.FLOAT, [1, voice.EMB, 1]),
        helper.make_tensor_value_info("noise", TensorProto.FLOAT, [1, 192, "T"]),
        helper.make_tensor_value_info("tau", TensorProto.FLOAT, []),
    ]
    out = helper.make_tensor_value_info("audio", TensorProto.FLOAT, [1, 1, "N"])
    return B.finish(inputs, [out], "quorvane_converter")


def write_voice(path, values):
    np.asarray(values, dtype="<f4").tofile(path)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    import onnx
    onnx.save(speaker_model(), os.path.join(out, "openvoice_speaker.onnx"))
    onnx.save(converter_model(), os.path.join(out, "openvoice_converter.onnx"))
    for name, values in voice.stock_voices().items():
        write_voice(os.path.join(out, name + ".bin"), values)


if __name__ == "__main__":
    main()
