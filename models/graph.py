"""Two backends with one set of tensor operations, so the voice models are written once:

  NumpyBackend  evaluates the operations at once (for tuning and checking the design in Python);
  OnnxBackend   records them as ONNX nodes (opset 17) for the generated model files.

Every operation follows the semantics of the ONNX operator of the same name, so the numbers that
NumpyBackend gives are the numbers the exported graph gives (up to float rounding).
"""
import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17
END = 2 ** 62  # "to the end" for a forward slice (ONNX clamps it to the length)


class NumpyBackend:
    def __init__(self):
        self.probes = {}

    def probe(self, name, value):
        """Keeps an intermediate value under a name (for checking one backend against the other)."""
        self.probes[name] = value
        return value

    def const(self, value, dtype=np.float32):
        return np.asarray(value, dtype=dtype)

    def add(self, a, b): return a + b
    def sub(self, a, b): return a - b
    def mul(self, a, b): return a * b
    def div(self, a, b): return a / b
    def matmul(self, a, b): return np.matmul(a, b)
    def log(self, x): return np.log(x)
    def exp(self, x): return np.exp(x)
    def sqrt(self, x): return np.sqrt(x)
    def abs(self, x): return np.abs(x)
    def cos(self, x): return np.cos(x)
    def sin(self, x): return np.sin(x)
    def floor(self, x): return np.floor(x)
    def round(self, x): return np.round(x)  # halves to even, as ONNX Round
    def maximum(self, a, b): return np.maximum(a, b)
    def minimum(self, a, b): return np.minimum(a, b)
    def less(self, a, b): return a < b
    def greater(self, a, b): return a > b
    def and_(self, a, b): return np.logical_and(a, b)
    def where(self, c, a, b): return np.where(c, a, b).astype(np.result_type(a, b))
    def to_float(self, x): return np.asarray(x, dtype=np.float32)
    def to_int(self, x): return np.asarray(x, dtype=np.int64)
    def to_double(self, x): return np.asarray(x, dtype=np.float64)
    def clip(self, x, lo, hi): return np.clip(x, lo, hi)

    def reshape(self, x, shape): return np.reshape(x, shape)
    def transpose(self, x, perm): return np.transpose(x, perm)
    def concat(self, xs, axis): return np.concatenate(xs, axis=axis)

    def slice(self, x, axis, start, end, step=1):
        idx = [slice(None)] * x.ndim
        idx[axis] = slice(start, end, step)
        return x[tuple(idx)]

    def pad_rows(self, x, before, after, rank=2):
        return np.pad(x, [(before, after)] + [(0, 0)] * (x.ndim - 1))

    def reduce_sum(self, x, axis, keepdims=True): return np.sum(x, axis=axis, keepdims=keepdims)
    def reduce_mean(self, x, axis, keepdims=True): return np.mean(x, axis=axis, keepdims=keepdims)
    def reduce_max(self, x, axis, keepdims=True): return np.max(x, axis=axis, keepdims=keepdims)
    def argmax(self, x, axis): return np.expand_dims(np.argmax(x, axis=axis), axis)
    def argmin(self, x, axis): return np.expand_dims(np.argmin(x, axis=axis), axis)
    def cumsum(self, x, axis): return np.cumsum(x, axis=axis, dtype=x.dtype)

    def expand_as(self, x, like):
        return np.broadcast_to(x, np.broadcast_shapes(x.shape, like.shape)).copy()

    def gather(self, data, indices):  # Gather along axis 0
        return data[indices]

    def gather_elements(self, data, indices, axis):
        return np.take_along_axis(data, indices, axis=axis)

    def rows(self, x):
        """The length of axis 0 as an int64 tensor of shape [1]."""
        return np.asarray([x.shape[0]], dtype=np.int64)

    def arange_rows(self, x):
        """0, 1, ... for each row of x, as float [rows, 1]."""
        return np.arange(x.shape[0], dtype=np.float32)[:, None]

    def sort_ascending(self, x):  # x [n, 1] -> sorted along axis 0
        return np.sort(x, axis=0)

    def branch(self, cond, then_fn, else_fn):
        """then_fn() where cond (one boolean) holds, else else_fn(), as ONNX If."""
        return then_fn() if bool(np.asarray(cond).reshape(-1)[0]) else else_fn()

    def dft(self, x, inverse=False, onesided=False):
        """x [batch, n, 1 or 2] along axis 1, as ONNX DFT."""
        c = x[..., 0] + (1j * x[..., 1] if x.shape[-1] == 2 else 0)
        if inverse:
            y = np.fft.ifft(c, axis=1)
        else:
            y = np.fft.fft(c, axis=1)
            if onesided:
                y = y[:, : c.shape[1] // 2 + 1]
        return np.stack([y.real, y.imag], axis=-1).astype(np.float32)


class OnnxBackend:
    def __init__(self, with_probes=False):
        self.nodes = []
        self.initializers = []
        self.count = 0
        self.with_probes = with_probes
        self.probes = []

    def probe(self, name, value):
        if self.with_probes:
            self.nodes.append(helper.make_node("Identity", [value], [name], name=name))
            self.probes.append(name)
        return value

    def _name(self, hint):
        self.count += 1
        return f"{hint}_{self.count}"

    def _node(self, op, inputs, hint=None, **attrs):
        out = self._name(hint or op.lower())
        self.nodes.append(helper.make_node(op, list(inputs), [out], name=out, **attrs))
        return out

    def const(self, value, dtype=np.float32):
        name = self._name("c")
        self.initializers.append(numpy_helper.from_array(np.asarray(value, dtype=dtype), name))
        return name

    def _i64(self, values):
        return self.const(np.asarray(values, dtype=np.int64), np.int64)

    def add(self, a, b): return self._node("Add", [a, b])
    def sub(self, a, b): return self._node("Sub", [a, b])
    def mul(self, a, b): return self._node("Mul", [a, b])
    def div(self, a, b): return self._node("Div", [a, b])
    def matmul(self, a, b): return self._node("MatMul", [a, b])
    def log(self, x): return self._node("Log", [x])
    def exp(self, x): return self._node("Exp", [x])
    def sqrt(self, x): return self._node("Sqrt", [x])
    def abs(self, x): return self._node("Abs", [x])
    def cos(self, x): return self._node("Cos", [x])
    def sin(self, x): return self._node("Sin", [x])
    def floor(self, x): return self._node("Floor", [x])
    def round(self, x): return self._node("Round", [x])
    def maximum(self, a, b): return self._node("Max", [a, b])
    def minimum(self, a, b): return self._node("Min", [a, b])
    def less(self, a, b): return self._node("Less", [a, b])
    def greater(self, a, b): return self._node("Greater", [a, b])
    def and_(self, a, b): return self._node("And", [a, b])
    def where(self, c, a, b): return self._node("Where", [c, a, b])
    def to_float(self, x): return self._node("Cast", [x], to=TensorProto.FLOAT)
    def to_int(self, x): return self._node("Cast", [x], to=TensorProto.INT64)
    def to_double(self, x): return self._node("Cast", [x], to=TensorProto.DOUBLE)

    def clip(self, x, lo, hi):
        return self._node("Clip", [x, self.const(lo), self.const(hi)])

    def reshape(self, x, shape): return self._node("Reshape", [x, self._i64(shape)])
    def transpose(self, x, perm): return self._node("Transpose", [x], perm=list(perm))
    def concat(self, xs, axis): return self._node("Concat", list(xs), axis=axis)

    def slice(self, x, axis, start, end, step=1):
        return self._node("Slice", [x, self._i64([start]), self._i64([end]), self._i64([axis]),
                                    self._i64([step])])

    def pad_rows(self, x, before, after, rank=2):
        pads = [before] + [0] * (rank - 1) + [after] + [0] * (rank - 1)
        return self._node("Pad", [x, self._i64(pads)])

    def reduce_sum(self, x, axis, keepdims=True):
        return self._node("ReduceSum", [x, self._i64([axis])], keepdims=int(keepdims))

    def reduce_mean(self, x, axis, keepdims=True):
        return self._node("ReduceMean", [x], axes=[axis], keepdims=int(keepdims))

    def reduce_max(self, x, axis, keepdims=True):
        return self._node("ReduceMax", [x], axes=[axis], keepdims=int(keepdims))

    def argmax(self, x, axis):
        return self._node("ArgMax", [x], axis=axis, keepdims=1)

    def argmin(self, x, axis):
        return self._node("ArgMin", [x], axis=axis, keepdims=1)

    def cumsum(self, x, axis):
        return self._node("CumSum", [x, self.const(np.array(axis, dtype=np.int64), np.int64)])

    def expand_as(self, x, like):
        return self._node("Expand", [x, self._node("Shape", [like])])

    def gather(self, data, indices):
        return self._node("Gather", [data, indices], axis=0)

    def gather_elements(self, data, indices, axis):
        return self._node("GatherElements", [data, indices], axis=axis)

    def rows(self, x):
        shape = self._node("Shape", [x])
        return self.slice(shape, 0, 0, 1)

    def arange_rows(self, x):
        n = self._node("Squeeze", [self.rows(x), self._i64([0])])
        r = self._node("Range", [self.const(0, np.int64), n, self.const(1, np.int64)])
        return self.reshape(self.to_float(r), [-1, 1])

    def sort_ascending(self, x):
        k = self.rows(x)
        out = self._name("topk")
        idx = self._name("topk_idx")
        self.nodes.append(helper.make_node("TopK", [x, k], [out, idx], name=out, axis=0, largest=0,
                                           sorted=1))
        return out

    def dft(self, x, inverse=False, onesided=False):
        return self._node("DFT", [x], axis=1, inverse=int(inverse), onesided=int(onesided))

    def branch(self, cond, then_fn, else_fn):
        """An If node: only the branch taken runs. Each branch is recorded as a subgraph that
        reads what it needs from the enclosing graph."""
        graphs = []
        for fn in (then_fn, else_fn):
            enclosing, self.nodes = self.nodes, []
            value = self._node("Identity", [fn()])
            graphs.append(helper.make_graph(
                self.nodes, self._name("branch"), [],
                [helper.make_tensor_value_info(value, TensorProto.FLOAT, None)]))
            self.nodes = enclosing
        return self._node("If", [self.reshape(cond, [])], then_branch=graphs[0],
                          else_branch=graphs[1])

    def finish(self, inputs, outputs, name):
        used = set(inputs_of(self.nodes))
        initializers = [t for t in self.initializers if t.name in used]
        outputs = list(outputs) + [helper.make_tensor_value_info(p, TensorProto.FLOAT, ["any"])
                                   for p in self.probes]
        graph = helper.make_graph(self.nodes, name, inputs, outputs, initializer=initializers)
        model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                                  producer_name="quorvane-ondrelix")
        model.ir_version = 8
        onnx.checker.check_model(model)
        return model


def inputs_of(nodes):
    """The names the nodes read, those inside their subgraphs included."""
    for node in nodes:
        yield from node.input
        for attribute in node.attribute:
            if attribute.type == onnx.AttributeProto.GRAPH:
                yield from inputs_of(attribute.g.node)
