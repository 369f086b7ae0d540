"""Dictionary encodings of channels, readout errors and noise models for the serializer."""

from __future__ import annotations

import numpy as np

from norvane.quantum.noise.channels import _NAMED, KrausChannel, ReadoutError, kraus
from norvane.quantum.noise.model import NoiseModel
from norvane.quantum.serialize import Serializer


def _channel_payload(channel: KrausChannel) -> dict:
    if channel._name != "kraus":
        return {"name": channel._name, "params": list(channel._params)}
    return {
        "name": "kraus",
        "real": [op.real.tolist() for op in channel.operators],
        "imag": [op.imag.tolist() for op in channel.operators],
    }


def _channel(payload) -> KrausChannel:
    name = payload["name"]
    if name == "kraus":
        return kraus([np.array(re) + 1j * np.array(im) for re, im in zip(payload["real"], payload["imag"])])
    if name not in _NAMED:
        raise ValueError(f"unknown channel {name!r}")
    return _NAMED[name](*payload["params"])


Serializer.register(KrausChannel)
KrausChannel.set_serializer(_channel_payload)
KrausChannel.set_deserializer(_channel)

Serializer.register(ReadoutError)
ReadoutError.set_serializer(lambda error: {"p01": error.p01, "p10": error.p10})
ReadoutError.set_deserializer(lambda payload: ReadoutError(payload["p01"], payload["p10"]))

Serializer.register(NoiseModel)
NoiseModel.set_serializer(NoiseModel._to_dict)
NoiseModel.set_deserializer(NoiseModel._from_dict)
