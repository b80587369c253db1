#!/usr/bin/python3
"""Adds seeds to the corpora of the link fuzz targets in corpus/<target>/.

Every member of kvt_MCU2ISP and kvt_Modem2ISP, with every field set, encoded with the reference
protobuf library: as raw payloads for the decoder targets and framed (regular, length high byte
first, checksum first, with stray bytes ahead) for the receiver targets. Run this after a schema
change, then minimise the corpora again (see FUZZING.md):  fuzz/links/make_seeds.py
(Debian's python3 with python3-protobuf).
"""
import os
import pathlib
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
PROTO_DIR = HERE.parent.parent / "src" / "app" / "links" / "proto"
START, STOP, ESCAPE = 0xDE, 0xAD, 0xAF


def load_modules(out_dir):
    subprocess.run(["protoc", f"--proto_path={PROTO_DIR}", f"--python_out={out_dir}",
                    "mcu_messages.proto", "modem_messages.proto"], check=True)
    sys.path.insert(0, out_dir)
    import mcu_messages_pb2  # noqa: E402
    import modem_messages_pb2  # noqa: E402
    return mcu_messages_pb2, modem_messages_pb2


def fill(message, counter):
    """Sets every field of message, two elements per repeated field."""
    for field in message.DESCRIPTOR.fields:
        count = 2 if field.label == field.LABEL_REPEATED else 1
        for _ in range(count):
            counter[0] += 1
            if field.type == field.TYPE_MESSAGE:
                target = (getattr(message, field.name).add() if count == 2
                          else getattr(message, field.name))
                fill(target, counter)
                continue
            if field.type == field.TYPE_BOOL:
                value = True
            elif field.type == field.TYPE_INT32:
                value = -counter[0]
            elif field.type == field.TYPE_STRING:
                value = f"v{counter[0]}"
            else:
                value = 100 + counter[0]
            if count == 2:
                getattr(message, field.name).append(value)
            else:
                setattr(message, field.name, value)


def stuffed(byte):
    return [ESCAPE, byte ^ ESCAPE] if byte in (START, STOP, ESCAPE) else [byte]


def frame(payload, high_first=False, checksum_first=False):
    low, high = len(payload) & 0xFF, (len(payload) >> 8) & 0xFF
    checksum = (256 - (1 + low + high + sum(payload)) % 256) % 256
    out = [START, 0x01, 0x00, 0x00] + ([high, low] if high_first else [low, high])
    for byte in payload:
        out += stuffed(byte)
    out += (stuffed(checksum) + [0x00]) if checksum_first else ([0x00] + stuffed(checksum))
    return bytes(out + [STOP])


def write(target, name, data):
    directory = HERE / "corpus" / target
    directory.mkdir(parents=True, exist_ok=True)
    (directory / name).write_bytes(data)


def main():
    with tempfile.TemporaryDirectory() as out_dir:
        mcu, modem = load_modules(out_dir)
        for link, wrapper_type in (("mcu", mcu.kvt_MCU2ISP), ("modem", modem.kvt_Modem2ISP)):
            write(f"fuzz_{link}_receiver", "empty_wrapper", frame(b""))
            for field in wrapper_type.DESCRIPTOR.fields:
                wrapper = wrapper_type()
                fill(getattr(wrapper, field.name), [field.number])
                getattr(wrapper, field.name).SetInParent()
                payload = wrapper.SerializeToString()
                write(f"fuzz_{link}_decoder", field.name, payload)
                write(f"fuzz_{link}_receiver", field.name, frame(payload))
                if len(payload) < 256:
                    write(f"fuzz_{link}_receiver", field.name + "_swapped",
                          b"\x00\x55" + frame(payload, high_first=True, checksum_first=True))


if __name__ == "__main__":
    main()
