#!/usr/bin/env python3
"""Writes the class pairs of the device library's feature catalogue.

Every feature below becomes Source/features/IFeature<id><name>.h (its
interface), Feature<id><name>.h and Feature<id><name>.cpp (its class), plus
the id list Source/features/FeatureCatalogueIds.inc, the source list
Source/catalogue.cmake and the test table tests/features/CatalogueCases.inc.
Features marked hand-written appear in the lists only.

    tools/gen_feature_catalogue.py           write the files
    tools/gen_feature_catalogue.py --check   fail if a checked-in file differs

C++ output goes through clang-format with the project's settings.

Operations (in interface declaration order):
    Name:N      named operation on function N
    fn:N        operation known by its function only: method FunctionN
    fn:N!       the same, one-way (sends without waiting)
    Name:N?     with a response, or one-way when the caller wants none
    Name:N*     setter with pending changes: NameNow sends, Name caches the
                value while the device is not connected
    Name(str):N text overload built on the operation Name:N
    -           built on other operations, with no name: nothing to declare

Event callbacks: (interface, callback, argument types, source). Sources:
("n", F) notification function F; ("u", F) another program's response to
function F, whose first argument is that program's software id; None for an
event that the device never sends on its own. Argument types and the bytes
they take from the parameters, in order:
    Byte, bool, short, enum E   one byte (bool: not 0)
    ushort, uint                two bytes, most significant first
    int                         two bytes, signed
    vbyte                       the remaining bytes
    vuint                       the remaining bytes, two per value
    struct S                    the remaining bytes, in S::data
    venum E                     the remaining bytes, one per value
    dev                         the device itself (no bytes)
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GENERATOR = "tools/gen_feature_catalogue.py"


class F:
    def __init__(self, fid, cls, ops="", events=(), hooks=(), iface=None, hand=False,
                 pending_log=None, pending_trace=False, silent=False, what=""):
        self.fid = fid
        self.cls = "Feature" + fid + cls
        self.iface = "IFeature" + fid + (iface or cls)
        self.ops = parse_ops(ops)
        self.events = list(events)
        self.hooks = set(hooks)
        self.hand = hand
        self.pending_log = pending_log
        self.pending_trace = pending_trace
        self.silent = silent
        self.what = what


class Op:
    def __init__(self, name, fn, kind):
        self.name, self.fn, self.kind = name, fn, kind


def parse_ops(text):
    ops = []
    seen = set()
    for token in text.split():
        if token == "-":
            continue
        m = re.fullmatch(r"(fn|\w+)(\(str\))?:(\d+)([!?*]?)", token)
        if not m:
            raise SystemExit("bad operation " + token)
        name, text_overload, fn, mark = m.group(1), m.group(2), int(m.group(3)), m.group(4)
        if name == "fn":
            name = "Function%d" % fn
        kind = {"": "call", "!": "oneway", "?": "either", "*": "pending"}[mark]
        if text_overload:
            kind = "text"
        key = (name, kind == "text")
        if key in seen:
            continue  # the same function twice with nothing to tell them apart
        seen.add(key)
        ops.append(Op(name, fn, kind))
    return ops


def n(fn):
    return ("n", fn)


def u(fn):
    return ("u", fn)


# The catalogue. Named operations keep their names; an operation whose
# function the table below does not know takes the first free function index.
CATALOGUE = [
    F("0007", "DeviceFriendlyName",
      "GetFriendlyNameLen:0 - - - - SetFriendlyName(str):3 SetFriendlyName:3 ResetFriendlyName:4",
      what="The device's friendly name"),
    F("0021", "CryptoIdentifier", "GetIdentifier:0 RegenerateIdentifier:2",
      [("RegenDetect", "onRegenerateIdentifier", ["uint"], u(2))], ["unexpected"],
      what="A regenerable identifier of the device"),
    F("1000", "BatteryUnifiedLeveStatus", "GetBatteryLevelStatus:0 GetBatteryCapability:1",
      [("Report", "onBatteryLevelStatus", ["short", "short", "short"], n(0))], ["notification"],
      iface="BatteryUnifiedLevelStatus", what="Battery level and charging status"),
    F("1001", "BatteryVoltage", "fn:0 fn:1",
      [("Report", "onReport", ["struct BatteryInfo"], n(0))], ["notification"],
      what="Battery voltage"),
    F("1300", "LEDControl",
      "GetLEDCount:0 GetLEDInfo:1 HasSWControl:2 SetSWControl:3 GetLEDState:4 GetLEDStateAdditionalInfo:4 "
      "SetLEDState:5 GetNvConfig:6 SetNvConfig:7", what="Control of the device's LEDs"),
    F("1800", "GenericTest", "fn:0",
      [("GenericResponse", "onTestResponse", ["int", "vbyte"], n(0))], ["notification"],
      what="Generic test requests"),
    F("1802", "DeviceReset", "forceDeviceReset:0", what="Device reset"),
    F("1805", "OOBState", "SetOobState:0", what="Out-of-box state"),
    F("1806", "ConfigurableDeviceProperties", "fn:0 - fn:2 fn:3", what="Configurable device properties"),
    F("1814", "ChangeHost", "GetHostInfo:0 SetCurrentHost:1? GetCookies:2 SetCookie:3",
      [("CookieChange", "onCookieChange", ["dev", "short", "short"], None)], silent=True,
      what="Switching between the hosts the device is paired with"),
    F("1815", "HostsInfos",
      "GetFeatureInfos:0 GetHostInfos:1 fn:2 GetHostFriendlyName:2 fn:3 fn:4 fn:5 fn:6 GetHostOSVersion:7 fn:8",
      silent=True, what="Information on the hosts the device is paired with"),
    F("1981", "KeyboardBacklight", "GetBacklightDuration:0 SetBacklightDuration:1",
      [("Report", "onBacklightChangeEvent", ["short", "short", "short"], n(0))], ["notification"],
      what="Keyboard backlight"),
    F("1982", "Backlight", "fn:0 fn:1 fn:2",
      [("Report", "onBacklightInfoEvent", ["Byte", "Byte", "enum BacklightStatus"], n(0))], ["notification"],
      what="Backlight"),
    F("1983", "KeyboardBacklight", "fn:0 fn:1 fn:2 fn:3",
      [("Report", "onBacklightEventChange", ["Byte", "Byte", "enum BacklightStatus"], n(0))], ["notification"],
      what="Keyboard backlight"),
    F("1A00", "PresenterControl", "fn:0 fn:1 fn:2 fn:3", what="Presenter control"),
    F("1A01", "3DSensor", "fn:0 fn:1 fn:2 fn:3 fn:4",
      [("RawXYZReport", "onRawXYZReport", ["short", "short", "short"], n(0)),
       ("Notif1Report", "onNotif1", ["short", "short", "short"], n(1)),
       ("Notif2Report", "onNotif2", ["vbyte"], n(2))], ["notification"],
      what="Three-axis sensor"),
    F("1B00", "SpecialKeys", "fn:0 fn:1",
      [("KeyReport", "onKeyChange", ["vuint"], n(0))], ["notification"], what="Special keys and buttons"),
    F("1B03", "SpecialKeys", "fn:0 fn:1 fn:4 SetCtrlIdReporting:2*",
      [("KeyReport", "onKeyChange", ["uint", "uint", "bool"], u(2)),
       ("KeyReport", "onKeyChange", ["vuint"], n(0))], ["pending", "notification", "unexpected"],
      pending_log="Feature 0x1B03 caching pending change", what="Special keys and buttons"),
    F("1B04", "SpecialKeys", "fn:0 fn:1 fn:2 SetCtrlIdReporting:3*",
      [("SettingChange", "onSettingChange", ["uint", "vbyte"], u(3)),
       ("KeyReport", "onKeyChange", ["uint", "uint", "bool", "bool", "uint"], n(0)),
       ("KeyReport", "onKeyChange", ["vuint"], n(1)),
       ("RawXYReport", "onRawXY", ["int", "int"], n(2))], ["pending", "notification", "unexpected"],
      pending_log="Feature 0x1B04 caching pending change", pending_trace=True,
      what="Special keys and buttons"),
    F("1BC0", "ReportHIDUsages", "- - fn:2",
      [("Report", "onReport", ["struct UsagePackage"], n(0))], ["notification"], what="HID usage reporting"),
    F("1C00", "PersistentRemappableAction", "fn:0 fn:1 fn:2 fn:3 fn:4 fn:5 fn:6",
      what="Persistent remapping of actions"),
    F("1E00", "EnableHiddenFeatures", "GetEnableHiddenFeatures:0 SetEnableHiddenFeatures:1",
      what="Access to hidden features"),
    F("1F1F", "FirmwareProperties", "GetCount:0 fn:1 fn:2 fn:3 fn:4 fn:5 fn:6 - - -",
      [("Notification", "onPropertyChanged", [], n(0)),
       ("Report", "onReport", ["vbyte"], n(1))], ["notification"], what="Firmware properties"),
    F("1F20", "ADCMeasurement", "fn:0 fn:1 fn:2 fn:3 fn:4",
      [("Report", "onStatusChange", ["struct DeviceState"], n(0))], ["notification"], what="ADC measurement"),
    F("2005", "ButtonSwapCancel", "fn:0 SetSwapMode:1*",
      [("SettingChange", "onSettingChange", ["uint", "bool"], u(1))], ["pending", "unexpected"],
      what="Cancelling the swap of the mouse buttons"),
    F("2006", "PointerAxesOrientation", "fn:0 fn:1", what="Pointer axes orientation"),
    F("2110", "Ratchex", "fn:0 fn:1", what="Wheel ratchet"),
    F("2121", "HiResWheel", "fn:0 - fn:1 - SetWheelMode:2 fn:3",
      [("SettingChange", "onSettingChange", ["uint", "bool", "bool", "bool", "uint", "uint"], u(2)),
       ("Report", "onWheelMovement", ["bool", "uint", "int", "int"], n(0)),
       ("RatchetSwitch", "onRatchetSwitch", ["bool"], n(1))], ["notification", "unexpected"],
      what="High-resolution wheel"),
    F("2130", "RatchetWheel", "GetWheelMode:0 SetWheelMode:1",
      [("Report", "onWheelMovement", ["int", "int"], n(0))], ["notification"], what="Ratchet wheel"),
    F("2201", "AdjustableDPI",
      "GetSensorCount:0 GetSensorDPIList:1 GetSensorDPI:2 GetDefaultDPI:2 SetSensorDPI:3 -",
      what="Adjustable sensor resolution"),
    F("2205", "PointerMotionScaling", "GetPointerScalingValue:0 SetPointerScalingValue:1",
      what="Pointer motion scaling"),
    F("2230", "AngleSnapping", "GetAngleSnapping:0 fn:1", what="Angle snapping"),
    F("2240", "SurfaceTuning", "fn:0 fn:1 fn:2 fn:3 fn:4 fn:5 fn:6",
      [("Report", "onShutterCalibrationDone", ["bool", "Byte"], n(0)),
       ("Report", "onSqualCalibrationDone", ["bool", "Byte", "Byte"], n(1))], ["notification"],
      what="Surface tuning"),
    F("2400", "HybridTracking",
      "IsHybridEngineEnabled:0 EnableHybridEngine:1 GetHybridReportingMode:2 SetHybridReportingMode:3",
      [("Report", "onHybridRawData", ["vbyte"], n(0)),
       ("Report", "onHybridStateChange", ["struct SpeedInfo"], n(1))], ["notification"],
      what="Hybrid tracking engine"),
    F("40A0", "FnInversion", "fn:0 fn:1", what="Fn-key inversion"),
    F("40A2", "FnInversion", hand=True),
    F("40A3", "FnInversion", "fn:0 SetGlobalFnInversion:1",
      [("Report", "onFLockChange", ["short", "bool", "bool", "int"], n(0))], ["notification"],
      what="Fn-key inversion with Fn lock"),
    F("4220", "LockKeyState", "GetLockState:0",
      [("Report", "onLockKeyChange", ["short"], n(0))], ["notification"], what="Lock-key state"),
    F("4521", "DisableKeys", "fn:0 fn:1 SetDisabledKeys:2*",
      [("SettingChange", "onSettingChange", ["uint", "bool", "bool", "bool", "bool", "bool"], u(2))],
      ["pending", "unexpected"], pending_log="Feature 0x4521 caching pending change", what="Disabling keys"),
    F("4522", "DisableKeysByUsage", "fn:0 fn:1 fn:2 fn:3", what="Disabling keys by usage"),
    F("4530", "DualPlatform", "GetPlatform:0 SetPlatform:1",
      [("Report", "onPlatformChangeEvent", ["short"], n(0))], ["notification"], what="Dual platform"),
    F("4531", "MultiPlatform", "GetFeatureInfos:0 GetPlatformDescriptor:1 GetHostPlatform:2 setHostPlatform:3",
      [("Report", "onPlatformChangeEvent", ["short", "short", "short"], n(0))], ["notification"],
      what="Multi platform"),
    F("4540", "KBLayout", "GetKeyboardLayout:0", what="Keyboard layout"),
    F("4600", "Dialix", "fn:0 fn:1 SetMode:2",
      [("DialixEvent", "onModeChanged", ["uint", "enum DialixMode"], u(2)),
       ("DialixEvent", "onDialixEvent", ["struct DialixEventData"], n(0))], ["notification", "unexpected"],
      what="Dial"),
    F("6010", "Gestures", "fn:0 fn:1", [("Report", "onReport", ["vbyte"], None)], what="Gestures"),
    F("6012", "Gestures", "fn:0 fn:1", [("Report", "onReport", ["vbyte"], None)], what="Gestures"),
    F("6100", "TouchPadRawXY", "fn:0 fn:1 -",
      [("Report", "onDualXYData", ["struct DualXYData"], n(0)),
       ("Report", "onModeChanged", ["uint"], u(1))], ["notification", "unexpected"],
      what="Raw touch-pad coordinates"),
    F("6500", "Gestures", "GetGestureIDInfo:0 IsEnabled:2 Enable:3 fn:4 - - - -",
      [("Report", "onReport", ["enum GestureId", "enum EventType"], n(0)),
       ("Report", "onReport", ["enum GestureId", "enum EventType", "int", "int", "int"], n(1)),
       ("Report", "onReport", ["enum GestureId", "enum EventType", "int", "int", "int", "int"], n(2)),
       ("Report", "onReport", ["enum GestureId", "enum EventType", "int", "int", "int", "enum Direction"], n(3))],
      ["notification"], what="Gestures"),
    F("6501", "Gestures",
      "GetGestureInfo:2 IsEnabled:1 - IsDiverted:3 - GetSpec:5 ParamDefault:6 GetParam:7 - - fn:0! - - - - - -",
      [("GestureReport", "onGestureReport", ["uint", "uint", "vbyte"], n(0)),
       ("GestureReport", "onGestureReport", ["uint", "uint", "bool"], u(2)),
       ("GestureReport", "onGestureReport", ["uint", "enum GestureId", "enum EventType"], n(1)),
       ("GestureReport", "onGestureReport", ["uint", "enum GestureId", "enum EventType", "int", "int"], n(2)),
       ("GestureReport", "onGestureReport",
        ["uint", "enum GestureId", "enum EventType", "int", "int", "int", "int"], n(3)),
       ("GestureReport", "onGestureReport",
        ["uint", "enum GestureId", "enum EventType", "int", "int", "int", "int", "int"], n(4)),
       ("GestureReport", "onGestureReport", ["uint", "enum GestureId", "enum EventType", "vbyte"], n(5))],
      ["notification", "unexpected"], what="Gestures"),
    F("8010", "Vorn", "GetCount:0 fn:1 fn:2",
      [("Report", "onButtonReport", ["vbyte"], n(0))], ["notification"], what="Extra buttons"),
    F("8020", "Mkeys", "GetCount:0 fn:1",
      [("Report", "onButtonReport", ["Byte"], n(0))], ["notification"], what="M keys"),
    F("8030", "MR", "fn:0", [("Report", "onButtonReport", ["bool"], n(0))], ["notification"],
      what="Macro record key"),
    F("8060", "ReportRate", "fn:0 GetReportRate:1 SetReportRate:2", what="Report rate"),
    F("8070", "ColorLEDEffects", hand=True),
    F("8080", "PerKeyLighting", "fn:0 fn:1 - - fn:3 fn:4 fn:5 fn:5", what="Per-key lighting"),
    F("8090", "ModeStatus", "fn:0", [("Report", "onStatusReport", ["Byte", "Byte"], n(0))], ["notification"],
      what="Mode status"),
    F("8110", "MouseButtonSpy", "fn:0 fn:1 fn:2 fn:3 fn:4",
      [("Report", "onButtonReport", ["ushort"], n(0))], ["notification"], what="Mouse button spy"),
    F("8111", "LatencyMonitoring", "fn:0 -",
      [("Report", "onLatencyEvent", ["struct LatencyEventInfo"], n(0))], ["notification"],
      what="Latency monitoring"),
    F("8120", "GamingAttachments", "fn:0 fn:1 -",
      [("Report", "onAttachmentChanged", ["venum AttachmentId"], n(0))], ["notification"],
      what="Gaming attachments"),
    F("8123", "ForceFeedback", "fn:0 fn:1 - - - - fn:3 fn:4 fn:5 fn:6 fn:7 fn:8",
      [("ForceNotification", "onExpiredForces", ["vuint"], n(0))], ["notification"], what="Force feedback"),
    F("8300", "Sidetone", "getSidetoneLevel:0 fn:1", what="Headset sidetone"),
    F("8310", "Equalizer", "getEQInfo:0 fn:1 fn:2 fn:3 fn:4 fn:5", what="Equalizer"),
]

HEADER = "// Generated by %s from its feature table: change the table and run it again.\n" % GENERATOR


# ---------------------------------------------------------------- types

def cpp_type(t, iface_scope=""):
    """The C++ type of one callback argument, as a parameter."""
    kind, _, name = t.partition(" ")
    return {
        "Byte": "Byte", "bool": "bool", "short": "short", "ushort": "unsigned short", "uint": "unsigned int",
        "int": "int", "vbyte": "const std::vector<Byte>&", "vuint": "const std::vector<unsigned int>&",
        "dev": "const std::shared_ptr<IDevice>&",
    }.get(kind) or {
        "enum": iface_scope + name,
        "struct": "const " + iface_scope + name + "&",
        "venum": "const std::vector<" + iface_scope + name + ">&",
    }[kind]


def value_type(t, scope):
    return cpp_type(t, scope).replace("const ", "").replace("&", "")


def decode_expr(t, scope):
    kind, _, name = t.partition(" ")
    if kind == "Byte":
        return "static_cast<Byte>(r.u8())"
    if kind == "bool":
        return "r.u8() != 0"
    if kind == "short":
        return "static_cast<short>(r.u8())"
    if kind == "ushort":
        return "static_cast<unsigned short>(r.u16())"
    if kind == "uint":
        return "r.u16()"
    if kind == "int":
        return "r.s16()"
    if kind == "vbyte":
        return "r.rest()"
    if kind == "vuint":
        return "r.rest_u16()"
    if kind == "enum":
        return "static_cast<%s%s>(r.u8())" % (scope, name)
    if kind == "struct":
        return "%s%s{r.rest()}" % (scope, name)
    if kind == "venum":
        return "to_enums<%s%s>(r.rest())" % (scope, name)
    raise SystemExit("no decoding for " + t)


def describe(t):
    kind, _, name = t.partition(" ")
    return {
        "Byte": "one byte", "bool": "one byte, true when not 0", "short": "one byte",
        "ushort": "two bytes", "uint": "two bytes", "int": "two bytes, signed",
        "vbyte": "the remaining bytes", "vuint": "the remaining bytes, two per value",
        "enum": "one byte", "struct": "the remaining bytes", "venum": "the remaining bytes, one per value",
        "dev": "the device",
    }[kind]


def structs_and_enums(f):
    structs, enums = [], []
    for _, _, args, _ in f.events:
        for a in args:
            kind, _, name = a.partition(" ")
            if kind == "struct" and name not in structs:
                structs.append(name)
            if kind in ("enum", "venum") and name not in enums:
                enums.append(name)
    return structs, enums


def event_interfaces(f):
    order = []
    for iface, _, _, _ in f.events:
        if iface not in order:
            order.append(iface)
    return order


# ---------------------------------------------------------------- writers

def op_declaration(op):
    if op.kind == "text":
        return "bool %s(const std::string& name)" % op.name
    if op.kind in ("oneway", "pending"):
        return "bool %s(const std::vector<Byte>& params)" % op.name
    return "bool %s(const std::vector<Byte>& params, std::vector<Byte>* response)" % op.name


def op_contract(f, op):
    if op.kind == "text":
        return ["Sends the UTF-8 bytes of `name` through %s (function %d); names longer" % (op.name, op.fn),
                "than a long report's parameters fail with ParameterSizeMismatch."]
    if op.kind == "oneway":
        return ["Sends function %d with `params` without waiting for an answer." % op.fn]
    if op.kind == "either":
        return ["Sends function %d with `params`. With `response` it waits for the answer and" % op.fn,
                "fills `response` with its parameters; without, it does not wait."]
    if op.kind == "pending":
        return ["Sends function %d with `params` after claiming the device's configuration." % op.fn,
                "While the device is not connected it keeps `params` instead, registers a",
                "pending change and reports success; the kept values are written in order",
                "when the device connects again. More than 16 parameter bytes fail with",
                "ParameterSizeMismatch before anything is sent or kept."]
    return ["Sends function %d with `params` and waits for the answer; `response`, when" % op.fn,
            "given, receives its parameters."]


def write_interface(f):
    structs, enums = structs_and_enums(f)
    has_dev = any("dev" in args for _, _, args, _ in f.events)
    out = ["#pragma once", "", HEADER.rstrip(), ""]
    includes = ["<vector>"]
    if has_dev:
        includes.insert(0, "<memory>")
    if any(op.kind == "text" for op in f.ops):
        includes.append("<string>")
    out += ["#include %s" % i for i in sorted(includes)]
    out += ["", '#include "runtime/Byte.h"', "", "namespace rodiz {", ""]
    if has_dev:
        out += ["class IDevice;", ""]
    out.append("// %s (feature 0x%s). Operations pass their parameters and their answer" % (f.what, f.fid))
    out.append("// through undecoded; each returns false on failure with the reason in LastError.")
    out.append("class %s {" % f.iface)
    out.append(" public:")
    out.append("  static constexpr int kFeatureId = 0x%s;" % f.fid)
    for s in structs:
        out += ["", "  // The parameters of the notification that carries it, as sent.",
                "  struct %s {" % s, "    std::vector<Byte> data;", "  };"]
    for e in enums:
        out += ["", "  // A value as the device sends it in one byte.", "  enum class %s : Byte {};" % e]
    for iface in event_interfaces(f):
        out += ["", "  class %s {" % iface, "   public:"]
        for ev_iface, cb, args, src in f.events:
            if ev_iface != iface:
                continue
            out += ["    " + line for line in callback_contract(args, src)]
            params = ", ".join("%s /*%s*/" % (cpp_type(a), "a%d" % i) for i, a in enumerate(args))
            out.append("    virtual void %s(%s) {}" % (cb, params))
        out += ["    virtual ~%s() = default;" % iface, "  };"]
    out += ["", "  virtual ~%s() = default;" % f.iface]
    for op in f.ops:
        out += ["  // " + line for line in op_contract(f, op)]
        out.append("  virtual %s = 0;" % op_declaration(op))
    out += ["};", "", "}  // namespace rodiz", ""]
    return "\n".join(out)


def callback_contract(args, src):
    if src is None:
        return ["// Declared for clients; this library does not raise it."]
    kind, fn = src
    lines = []
    rest = args
    if kind == "u":
        lines.append("// Another program's answer to function %d: its software id, then" % fn)
        rest = args[1:]
    else:
        lines.append("// Notification function %d%s" % (fn, ": its parameters give" if args else "."))
    if rest:
        lines.append("// " + "; ".join(describe(a) for a in rest) + ".")
        if any(a.partition(" ")[0] not in ("vbyte", "vuint", "struct", "venum") for a in rest):
            lines.append("// Shorter parameters raise nothing.")
    elif kind == "u":
        lines[-1] = "// Another program's answer to function %d: its software id." % fn
    return lines


def producers(f):
    return ["Producer<%s::%s>" % (f.iface, i) for i in event_interfaces(f)]


def pending_ops(f):
    return [op for op in f.ops if op.kind == "pending"]


def write_class_header(f):
    bases = ["public Feature", "public " + f.iface] + ["public " + p for p in producers(f)]
    out = ["#pragma once", "", HEADER.rstrip(), ""]
    if pending_ops(f):
        out += ["#include <mutex>", "#include <vector>", ""]
    out += ['#include "features/Feature.h"', '#include "features/%s.h"' % f.iface, "", "namespace rodiz {", ""]
    out.append("class %s : %s {" % (f.cls, (",\n" + " " * (len(f.cls) + 9)).join(bases)))
    out.append(" public:")
    out.append("  %s(int index, std::weak_ptr<Device> device);" % f.cls)
    if f.ops:
        out.append("")
    for op in f.ops:
        out.append("  %s override;" % op_declaration(op))
    hooks = []
    if "pending" in f.hooks:
        hooks.append("  bool process_pending_changes(bool device_configured) override;")
    if "notification" in f.hooks:
        hooks.append("  void onFeatureReport(unsigned function, const std::vector<Byte>& payload) override;")
    if "unexpected" in f.hooks:
        hooks.append("  void onUnexpectedResponse(unsigned function, unsigned swid, "
                     "const std::vector<Byte>& payload) override;")
    if hooks:
        out += [""] + hooks
    if pending_ops(f):
        op = pending_ops(f)[0]
        out += ["", " private:",
                "  // Claims the configuration and sends the value now.",
                "  bool %sNow(const std::vector<Byte>& params);" % op.name, "",
                "  // Values not written because the device was not connected, oldest first.",
                "  std::mutex pending_lock_;",
                "  std::vector<std::vector<Byte>> pending_values_;"]
    out += ["};", "", "}  // namespace rodiz", ""]
    return "\n".join(out)


def raise_event(f, iface, cb, args, src, out, indent):
    hook = "onUnexpectedResponse" if src[0] == "u" else "onFeatureReport"
    scope = f.iface + "::"
    rest = args[1:] if src[0] == "u" else args
    names = []
    if rest:
        out.append(indent + "ParamReader r(payload);")
    for i, a in enumerate(rest):
        name = "a%d" % (i + 1 if src[0] == "u" else i)
        if a == "dev":
            out.append(indent + "std::shared_ptr<IDevice> %s = device();" % name)
        else:
            out.append(indent + "const %s %s = %s;" % (value_type(a, scope), name, decode_expr(a, scope)))
        names.append(name)
    fixed = any(a.partition(" ")[0] not in ("vbyte", "vuint", "struct", "venum", "dev") for a in rest)
    if fixed:
        out.append(indent + "if (!r.complete()) return too_short(\"%s\", \"%s\", payload.size());" % (hook, cb))
    if src[0] == "u":
        names.insert(0, "swid")
    captures = ", ".join(names)
    out.append(indent + "Producer<%s::%s>::produce(" % (f.iface, iface))
    out.append(indent + "    [%s](%s::%s* s) { s->%s(%s); }," % (captures, f.iface, iface, cb, ", ".join(names)))
    out.append(indent + '    "%s::%s::%s");' % (f.cls, iface, cb))


def write_source(f):
    cls = f.cls
    raised = [(args[1:] if src[0] == "u" else args) for _, _, args, src in f.events if src]
    needs_reader = any(rest for rest in raised)
    has_venum = any(a.startswith("venum") for _, _, args, _ in f.events for a in args)
    fixed_events = any(a.partition(" ")[0] not in ("vbyte", "vuint", "struct", "venum", "dev")
                       for rest in raised for a in rest)
    out = [HEADER.rstrip(), '#include "features/%s.h"' % cls, ""]
    std_includes = []
    if any(op.kind == "text" for op in f.ops) or fixed_events:
        std_includes.append("<string>")
    if std_includes:
        out += ["#include %s" % i for i in std_includes] + [""]
    local = ['"features/CatalogueCommand.h"', '"features/FeatureRegistry.h"']
    if pending_ops(f):
        local.append('"device/LastError.h"')
    if needs_reader:
        local.append('"features/ParamReader.h"')
    local.append('"log/xLog.h"')
    out += ["#include %s" % i for i in sorted(local)]
    out += ["", "namespace rodiz {", "", "namespace {", "", 'constexpr const char* kTag = "%s";' % cls, ""]
    if fixed_events:
        out += ["// A report too short for its fields: dropped, never read past its end.",
                "void too_short(const char* hook, const char* callback, std::size_t size) {",
                '  const std::string function = std::string("rodiz::%s::") + hook;' % cls,
                '  xLogWrite(kTag, LogWarning, function.c_str(), "%s::%%s ignored, only %%d bytes", callback,' % cls,
                "            static_cast<int>(size));",
                "}", ""]
    if has_venum:
        out += ["template <class E>", "std::vector<E> to_enums(const std::vector<Byte>& bytes) {",
                "  std::vector<E> values;", "  values.reserve(bytes.size());",
                "  for (Byte b : bytes) values.push_back(static_cast<E>(b));", "  return values;", "}", ""]
    out += ["}  // namespace", ""]
    out.append("%s::%s(int index, std::weak_ptr<Device> device)" % (cls, cls))
    out.append("    : Feature(kFeatureId, index, std::move(device)) {}")
    for op in f.ops:
        out.append("")
        out.append("%s {" % op_declaration(op).replace("bool ", "bool %s::" % cls, 1))
        if op.kind == "call":
            out.append('  return CatalogueCommand::exchange(*this, kTag, "%s", %d, params, response);'
                       % (op.name, op.fn))
        elif op.kind == "oneway":
            out.append('  return CatalogueCommand::send(*this, kTag, "%s", %d, params);' % (op.name, op.fn))
        elif op.kind == "either":
            out.append('  if (!response) return CatalogueCommand::send(*this, kTag, "%s", %d, params);'
                       % (op.name, op.fn))
            out.append('  return CatalogueCommand::exchange(*this, kTag, "%s", %d, params, response);'
                       % (op.name, op.fn))
        elif op.kind == "text":
            out.append("  return %s(std::vector<Byte>(name.begin(), name.end()), nullptr);" % op.name)
        elif op.kind == "pending":
            write_pending(f, op, out)
        out.append("}")
    if "pending" in f.hooks:
        write_process_pending(f, pending_ops(f)[0], out)
    if "notification" in f.hooks:
        out += ["", "void %s::onFeatureReport(unsigned function, const std::vector<Byte>& payload) {" % cls]
        cases = [(iface, cb, args, src) for iface, cb, args, src in f.events if src and src[0] == "n"]
        out.append("  switch (function) {")
        for iface, cb, args, src in cases:
            out.append("    case %d: {" % src[1])
            raise_event(f, iface, cb, args, src, out, "      ")
            out.append("      return;")
            out.append("    }")
        out += ["    default:", "      return;", "  }", "}"]
    if "unexpected" in f.hooks:
        out += ["", "void %s::onUnexpectedResponse(unsigned function, unsigned swid, "
                    "const std::vector<Byte>& payload) {" % cls]
        cases = [(iface, cb, args, src) for iface, cb, args, src in f.events if src and src[0] == "u"]
        if len(cases) != 1:
            raise SystemExit(f.cls + ": one answer of other programs raises an event")
        for iface, cb, args, src in cases:
            out.append("  // Another program changed the setting; an empty answer tells nothing.")
            out.append("  if (function != %d || payload.empty()) return;" % src[1])
            raise_event(f, iface, cb, args, src, out, "  ")
        out.append("}")
    out += ["", "}  // namespace rodiz", ""]
    macro = "RODIZ_REGISTER_FEATURE_SILENT" if f.silent else "RODIZ_REGISTER_FEATURE"
    out.append("%s(%s, %s)" % (macro, f.fid, cls))
    out.append("")
    return "\n".join(out)


def write_pending(f, op, out):
    cls = f.cls
    now = op.name + "Now"
    fn_name = "rodiz::%s::%s" % (cls, op.name)
    # The setter itself: a value that can never be sent is refused, not kept.
    out.append("  if (!CatalogueCommand::fits(params)) return false;")
    out.append("  if (%s(params)) return true;" % now)
    out.append("  if (last_error_code() != NotConnected) return false;")
    if f.pending_log:
        out.append('  xLogWrite(kTag, LogInfo, "%s", "%s");' % (fn_name, f.pending_log))
    out.append("  {")
    out.append("    std::lock_guard<std::mutex> guard(pending_lock_);")
    out.append("    pending_values_.push_back(params);")
    out.append("  }")
    out.append("  if (!set_pending()) {")
    out.append('    xLogWrite(kTag, LogInfo, "%s", "set_pending failed");' % fn_name)
    out.append("    return false;")
    out.append("  }")
    out.append("  clear_last_error();")
    out.append("  return true;")
    out.append("}")
    out.append("")
    now_name = "rodiz::%s::%s" % (cls, now)
    out.append("bool %s::%s(const std::vector<Byte>& params) {" % (cls, now))
    out.append("  if (!set_configured()) {")
    out.append('    xLogWrite(kTag, LogInfo, "%s", "set_configured failed");' % now_name)
    out.append("    return false;")
    out.append("  }")
    out.append('  if (!CatalogueCommand::exchange(*this, kTag, "%s", %d, params, nullptr)) {' % (op.name, op.fn))
    out.append('    xLogWrite(kTag, LogInfo, "%s", "sendFeatureCommand failed");' % now_name)
    out.append("    return false;")
    out.append("  }")
    out.append("  return true;")


def write_process_pending(f, op, out):
    cls = f.cls
    out += ["", "bool %s::process_pending_changes(bool device_configured) {" % cls]
    if f.pending_trace:
        out.append('  xLogWrite(kTag, LogInfo, "rodiz::%s::process_pending_changes",' % cls)
        out.append('            "%s::process_pending_changes(device_configured = %%d)", device_configured);' % cls)
    else:
        out.append("  (void)device_configured;")
    out += [
        "  std::vector<std::vector<Byte>> values;",
        "  {",
        "    std::lock_guard<std::mutex> guard(pending_lock_);",
        "    values = pending_values_;",
        "  }",
        "  // Values written stay written: a failure keeps only the rest, in order.",
        "  std::size_t written = 0;",
        "  bool ok = true;",
        "  for (const std::vector<Byte>& value : values) {",
        "    if (!%sNow(value)) {" % op.name,
        "      ok = false;",
        "      break;",
        "    }",
        "    ++written;",
        "  }",
        "  std::lock_guard<std::mutex> guard(pending_lock_);",
        "  pending_values_.erase(pending_values_.begin(), pending_values_.begin() + static_cast<std::ptrdiff_t>(written));",
        "  return ok;",
        "}",
    ]


def write_ids():
    out = [HEADER.rstrip(), "// The catalogue's feature ids for FeatureRegistry's list (0x8070 stands there already).",
           "#define RODIZ_CATALOGUE_FEATURE_IDS(X) \\"]
    ids = ["X(%s)" % f.fid for f in CATALOGUE if f.fid != "8070"]
    out += ["  %s \\" % i for i in ids[:-1]] + ["  " + ids[-1]]
    return "\n".join(out) + "\n"


def write_cmake():
    out = ["# " + HEADER[3:].rstrip(), "# The catalogue's feature classes."]
    out.append("list(APPEND RODIZ_CORE_SOURCES")
    out.append("  features/CatalogueCommand.cpp")
    out.append("  features/ParamReader.cpp")
    for f in CATALOGUE:
        if f.fid == "8070":
            continue
        out.append("  features/%s.cpp" % f.cls)
    out.append(")")
    return "\n".join(out) + "\n"


def write_cases():
    out = [HEADER.rstrip(), "// Every generated operation: {id, name, function, kind, call}.",
           "// kind: 0 waits for the answer, 1 one-way, 2 either, 3 pending setter, 4 text."]
    kinds = {"call": 0, "oneway": 1, "either": 2, "pending": 3, "text": 4}
    for f in CATALOGUE:
        if f.hand:
            continue
        out.append('#include "features/%s.h"' % f.iface)
    out.append("")
    out.append("#define RODIZ_CATALOGUE_CASES(X) \\")
    rows = []
    for f in CATALOGUE:
        if f.hand:
            continue
        for op in f.ops:
            if op.kind == "text":
                call = "(void)r; return i.%s(std::string(p.begin(), p.end()));" % op.name
            elif op.kind in ("oneway", "pending"):
                call = "(void)r; return i.%s(p);" % op.name
            else:
                call = "return i.%s(p, r);" % op.name
            rows.append("  X(%s, 0x%s, \"%s\", %d, %d, %s)" % (f.iface, f.fid, op.name, op.fn, kinds[op.kind], call))
    out += [r + " \\" for r in rows[:-1]] + [rows[-1]]
    out.append("")
    out.append("#define RODIZ_CATALOGUE_SILENT(X) \\")
    silent = [f for f in CATALOGUE if f.silent]
    out += ["  X(0x%s) \\" % f.fid for f in silent[:-1]] + ["  X(0x%s)" % silent[-1].fid]
    return "\n".join(out) + "\n"


def outputs():
    files = {}
    for f in CATALOGUE:
        if f.hand:
            continue
        files["Source/features/%s.h" % f.iface] = write_interface(f)
        files["Source/features/%s.h" % f.cls] = write_class_header(f)
        files["Source/features/%s.cpp" % f.cls] = write_source(f)
    files["Source/features/FeatureCatalogueIds.inc"] = write_ids()
    files["Source/catalogue.cmake"] = write_cmake()
    files["tests/features/CatalogueCases.inc"] = write_cases()
    return files


def formatted(files):
    """The C++ sources in the project's clang-format style, so that formatting
    the tree leaves them as they are; one clang-format run for all of them."""
    tool = shutil.which("clang-format")
    if not tool:
        raise SystemExit("clang-format is needed (tools/setup.sh installs it)")
    cpp = [rel for rel in files if rel.endswith((".h", ".cpp"))]
    with tempfile.TemporaryDirectory() as scratch:
        shutil.copy(os.path.join(ROOT, ".clang-format"), scratch)
        for rel in cpp:
            os.makedirs(os.path.dirname(os.path.join(scratch, rel)), exist_ok=True)
            with open(os.path.join(scratch, rel), "w", encoding="utf-8", newline="\n") as fh:
                fh.write(files[rel])
        subprocess.run([tool, "-i", "--style=file"] + cpp, check=True, cwd=scratch)
        result = dict(files)
        for rel in cpp:
            with open(os.path.join(scratch, rel), encoding="utf-8") as fh:
                result[rel] = fh.read()
    return result


def main():
    check = "--check" in sys.argv[1:]
    root = ROOT
    for a in sys.argv[1:]:
        if a.startswith("--root="):
            root = a[len("--root="):]
    stale = []
    for rel, text in sorted(formatted(outputs()).items()):
        path = os.path.join(root, rel)
        current = None
        if os.path.exists(path):
            with open(path, encoding="utf-8") as fh:
                current = fh.read()
        if current == text:
            continue
        if check:
            stale.append(rel)
        else:
            with open(path, "w", encoding="utf-8", newline="\n") as fh:
                fh.write(text)
    if stale:
        sys.stderr.write("out of date with %s: %s\n" % (GENERATOR, ", ".join(stale)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
