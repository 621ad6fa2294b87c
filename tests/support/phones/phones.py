#!/usr/bin/python3
"""Simulated phones for the tests: Android devices that speak adb's transport
protocol over TCP and iPhones behind a usbmuxd stand-in on a unix socket.

    phones.py DIR [--android N] [--iphones N] [--mode android:0:unauthorized ...]

Prints one JSON line when listening ({"android": [ports], "iphones": [udids],
"usbmuxd": path, "control": path}) and runs until SIGTERM. The control socket
takes one line per request and answers "ok" or "error: ...":
    set android|iphone INDEX MODE on|off|SECONDS     allow KIND INDEX
    unplug KIND INDEX                               plug KIND INDEX
    trust iphone INDEX    (the Trust button tapped: the next pairing succeeds)
    busy android INDEX    ("ok" while a shell command runs on it)
Modes: slow (seconds between chunks), unauthorized, vanishing, dual_sim,
imei_refused, worn_battery. On an iPhone: unauthorized is not yet trusted (no
pair record; a Pair request is refused as lockdown refuses it while the trust
dialog waits, until "trust"; then it pairs and the phone lists as paired). The
usbmuxd stand-in answers Listen and sends Attached/Detached on plug/unplug.
On an iPhone imei_refused tells no IMEI, slow waits before
each lockdown answer, vanishing drops the connection as the values are read.
"""
import asyncio, json, os, plistlib, shlex, signal, socket, struct, sys

MODES = {"slow", "unauthorized", "vanishing", "dual_sim", "imei_refused", "worn_battery"}


def luhn(digits14):
    total = 0
    for i, c in enumerate(reversed(digits14)):
        d = int(c) * (2 if i % 2 == 0 else 1)
        total += d - 9 if d > 9 else d
    return digits14 + str((10 - total % 10) % 10)


class Phone:
    def __init__(self, index):
        self.index = index
        self.modes = {m: False for m in MODES}
        self.slow = 0.0
        self.plugged = True

    def imeis(self):
        first = luhn("35693803%06d" % (564380 + self.index * 10))
        second = luhn("35693803%06d" % (564381 + self.index * 10))
        return [first, second] if self.modes["dual_sim"] else [first]

    def battery(self):
        if self.modes["worn_battery"]:
            return {"design": 3200, "nominal": 2500, "cycles": 812}
        return {"design": 4355, "nominal": 4210, "cycles": 143}


# ---------------------------------------------------------------- Android

A_CNXN, A_OPEN, A_OKAY, A_WRTE, A_CLSE, A_AUTH = (
    0x4E584E43, 0x4E45504F, 0x59414B4F, 0x45545257, 0x45534C43, 0x48545541)
A_VERSION = 0x01000001
FEATURES = "cmd,stat_v2,ls_v2,fixed_push_mkdir,apex,abb,fixed_push_symlink_timestamp,abb_exec,remount_shell,track_app"
SERVICES = ["adbd", "audioserver", "bootanim", "cameraserver", "credstore", "drm", "gatekeeperd",
            "gpu", "healthd", "hidl_memory", "hwservicemanager", "incidentd", "installd", "keystore2",
            "lmkd", "logd", "logd-reinit", "media", "mediadrm", "mediaextractor", "mediametrics",
            "netd", "odsign", "prng_seeder", "servicemanager", "statsd", "storaged", "surfaceflinger",
            "tombstoned", "traced", "traced_probes", "ueventd", "update_engine", "usbd", "vndservicemanager",
            "vold", "wificond", "zygote", "zygote_secondary", "vendor.audio-hal", "vendor.bluetooth-1-1",
            "vendor.camera-provider-2-7", "vendor.gnss-default", "vendor.health-default",
            "vendor.keymint-default", "vendor.power-default", "vendor.thermal-hal", "vendor.vibrator",
            "vendor.wifi_hal_legacy", "vendor.rild", "vendor.sensors-hal-2-1"]


class Android(Phone):
    def __init__(self, index):
        super().__init__(index)
        self.serial = "2B201FDH3000%02d" % index
        self.port = 0
        self.transports = set()
        self.server = None

    def props(self):
        p = {
            "ro.serialno": self.serial, "ro.boot.serialno": self.serial,
            "ro.product.model": "Pixel 8", "ro.product.manufacturer": "Google",
            "ro.product.brand": "google", "ro.product.name": "shiba", "ro.product.device": "shiba",
            "ro.product.board": "shiba", "ro.hardware": "shiba", "ro.build.version.release": "14",
            "ro.build.version.sdk": "34", "ro.build.version.security_patch": "2024-06-05",
            "ro.build.id": "AP2A.240605.024", "ro.build.type": "user", "ro.build.tags": "release-keys",
            "ro.build.display.id": "AP2A.240605.024",
            "ro.build.fingerprint": "google/shiba/shiba:14/AP2A.240605.024/11860263:user/release-keys",
            "ro.build.version.incremental": "11860263", "ro.build.date.utc": "1715130000",
            "ro.product.cpu.abi": "arm64-v8a", "ro.product.locale": "en-US", "ro.debuggable": "0",
            "ro.secure": "1", "ro.adb.secure": "1", "ro.crypto.state": "encrypted",
            "ro.telephony.default_network": "33,33", "ro.baseband": "g5300g-240308-240411-B-11682727",
            "gsm.version.baseband": "g5300g-240308-240411-B-11682727,g5300g-240308-240411-B-11682727",
            "gsm.sim.state": "LOADED,ABSENT" if not self.modes["dual_sim"] else "LOADED,LOADED",
            "gsm.operator.alpha": "KPN,", "gsm.network.type": "LTE,Unknown", "gsm.current.phone-type": "1,1",
            "persist.sys.timezone": "Europe/Amsterdam", "persist.sys.locale": "nl-NL",
            "persist.radio.multisim.config": "dsds", "sys.boot_completed": "1", "dev.bootcomplete": "1",
            "sys.usb.config": "adb", "sys.usb.state": "adb", "persist.sys.usb.config": "adb",
            "dalvik.vm.heapsize": "512m", "dalvik.vm.heapgrowthlimit": "256m",
            "dalvik.vm.isa.arm64.variant": "cortex-a76", "debug.sf.latch_unsignaled": "1",
            "net.bt.name": "Android", "wifi.interface": "wlan0", "vold.has_adoptable": "0",
            "security.perf_harden": "1", "service.sf.present_timestamp": "1", "telephony.lteOnCdmaDevice": "0",
            "vendor.usb.controller": "11210000.dwc3", "ro.vendor.build.security_patch": "2024-06-05",
        }
        for i, name in enumerate(SERVICES):
            p["init.svc." + name] = "running"
            p["init.svc_debug_pid." + name] = str(300 + i * 7)
            p["ro.boottime." + name] = str(4_000_000_000 + i * 37_000_000)
        for i in range(70):
            p["persist.vendor.radio.feature_%02d" % i] = "1" if i % 3 else "0"
            p["debug.audio.display_%02d" % i] = "true"
            p["dalvik.vm.dex2oat.option_%02d" % i] = "-j%d" % (i % 8 + 1)
            p["vendor.camera.debug.logs_%02d" % i] = "0"
            p["ro.vendor.camera.capability_%02d" % i] = "enabled"
        for i in range(24):
            p["ro.vendor.sensor.calibration_%02d" % i] = "%d.%03d" % (i, i * 41 % 1000)
        return p

    def getprop_text(self):
        return "".join("[%s]: [%s]\n" % (k, v) for k, v in sorted(self.props().items()))

    def battery_text(self):
        b = self.battery()
        return ("Current Battery Service state:\n  AC powered: false\n  USB powered: true\n"
                "  Wireless powered: false\n  Dock powered: false\n  Max charging current: 500000\n"
                "  Max charging voltage: 5000000\n  Charge counter: %d\n  status: 2\n  health: 2\n"
                "  present: true\n  level: 78\n  scale: 100\n  voltage: 4123\n  temperature: 274\n"
                "  technology: Li-ion\n  Charging state: 1\n  Charging policy: 1\n"
                % (b["nominal"] * 780))

    # A command line as the phone's shell runs it: `a && b`, `a; b`, echo.
    def run_line(self, line):
        out, status, pending = [], 0, line
        for part, joiner in split_line(line):
            if joiner == "&&" and status != 0:
                continue
            text, status = self.run_command(part)
            out.append(text)
        return "".join(out)

    def run_command(self, text):
        try:
            argv = shlex.split(text)
        except ValueError:
            return "/system/bin/sh: syntax error: unterminated quoted string\n", 2
        if not argv:
            return "", 0
        name = argv[0]
        if name == "echo":
            return " ".join(argv[1:]) + "\n", 0
        if name == "getprop":
            if len(argv) == 1:
                return self.getprop_text(), 0
            return self.props().get(argv[1], argv[2] if len(argv) > 2 else "") + "\n", 0
        if name == "dumpsys" and argv[1:] == ["battery"]:
            return self.battery_text(), 0
        if name == "service" and argv[1:3] == ["call", "iphonesubinfo"]:
            return self.service_call(argv[3:]), 0
        return "/system/bin/sh: %s: inaccessible or not found\n" % name, 127

    # `service call iphonesubinfo CODE ARGS`, with the method codes of the
    # release this phone runs (getDeviceId(pkg)=1, getDeviceIdWithFeature=2,
    # getNaiForSubscriber=3, getDeviceIdForPhone(phoneId)=4,
    # getImeiForSubscriber(subId)=5).
    def service_call(self, args):
        if not args or not args[0].isdigit():
            return "service: No code specified for call\n"
        code, ints, strings, i = int(args[0]), [], [], 1
        while i + 1 < len(args):
            kind, value = args[i], args[i + 1]
            if kind == "i32":
                ints.append(int(value))
            elif kind == "s16":
                strings.append(value)
            i += 2
        imeis = self.imeis()
        slot = None
        if code in (1, 2) and strings:
            slot = 0
        elif code == 4 and ints and strings:
            slot = ints[0]
        elif code == 5 and ints and strings:
            slot = ints[0] - 1
        elif code == 3:
            return parcel(struct.pack("<ii", 0, -1))
        if code > 5:
            return parcel(struct.pack("<ii", 0, -1))
        method = {1: "getDeviceId", 2: "getDeviceId", 4: "getDeviceId", 5: "getImeiForSubscriber"}[code]
        if self.modes["imei_refused"] or slot is None:
            message = "%s: The user 2000 does not meet the requirements to access device identifiers." % method
            return parcel(struct.pack("<i", -1) + string16(message) + struct.pack("<i", 0))
        if not 0 <= slot < len(imeis):
            return parcel(struct.pack("<ii", 0, -1))
        return parcel(struct.pack("<i", 0) + string16(imeis[slot]))

    async def serve(self, reader, writer):
        if not self.plugged:
            writer.close()
            return
        self.transports.add(writer)
        try:
            await AdbTransport(self, reader, writer).run()
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            self.transports.discard(writer)
            writer.close()

    def allow(self):
        self.modes["unauthorized"] = False
        for transport in list(self.transports):
            transport.adb.connect_if_allowed()

    def unplug(self):
        self.plugged = False
        for transport in list(self.transports):
            transport.close()


def split_line(line):
    """The parts of a shell line with the operator before each (None, ';', '&&')."""
    parts, current, quote, joiner, i = [], "", None, None, 0
    while i < len(line):
        c = line[i]
        if quote:
            quote = None if c == quote else quote
            current += c
        elif c in "\"'":
            quote = c
            current += c
        elif line.startswith("&&", i) or c == ";":
            parts.append((current.strip(), joiner))
            joiner = "&&" if c == "&" else ";"
            i += 1 if c == ";" else 2
            current = ""
            continue
        else:
            current += c
        i += 1
    parts.append((current.strip(), joiner))
    return parts


def string16(text):
    data = struct.pack("<i", len(text)) + (text + "\0").encode("utf-16-le")
    return data + b"\0" * (-len(data) % 4)


def parcel(data):
    """The Parcel text that `service call` prints for a reply."""
    words = [struct.unpack_from("<I", data, i)[0] for i in range(0, len(data), 4)]
    ascii_of = lambda chunk: "".join(chr(b) if 32 <= b < 127 else "." for b in chunk)
    if len(data) <= 16:
        hexes = " ".join("%08x" % w for w in words)
        return "Result: Parcel(%s   '%s')\n" % (hexes, ascii_of(data))
    lines = []
    for offset in range(0, len(data), 16):
        chunk = data[offset:offset + 16]
        hexes = "".join("%08x " % w for w in words[offset // 4:offset // 4 + 4])
        lines.append("  0x%08x: %s%s'%s'" % (offset, hexes, " " * (9 * (4 - len(chunk) // 4)),
                                              ascii_of(chunk).ljust(16)))
    return "Result: Parcel(\n" + "\n".join(lines) + ")\n"


class AdbTransport:
    def __init__(self, phone, reader, writer):
        self.phone, self.reader, self.writer = phone, reader, writer
        writer.adb = self
        self.connected = False
        self.max_payload = 4096
        self.streams = {}  # our id -> queue of host OKAYs
        self.next_id = 1

    def send(self, command, arg0, arg1, data=b""):
        self.writer.write(struct.pack("<6I", command, arg0, arg1, len(data), sum(data) & 0xFFFFFFFF,
                                      command ^ 0xFFFFFFFF) + data)

    def connect_if_allowed(self):
        if not self.connected and not self.phone.modes["unauthorized"]:
            self.connected = True
            banner = "device::ro.product.name=shiba;ro.product.model=Pixel 8;ro.product.device=shiba;features=" + FEATURES
            self.send(A_CNXN, A_VERSION, 256 * 1024, banner.encode())

    async def run(self):
        while True:
            head = await self.reader.readexactly(24)
            command, arg0, arg1, length, _, _ = struct.unpack("<6I", head)
            data = await self.reader.readexactly(length) if length else b""
            if command == A_CNXN:
                self.max_payload = min(arg1, 256 * 1024)
                if self.phone.modes["unauthorized"]:
                    self.send(A_AUTH, 1, 0, os.urandom(20))
                else:
                    self.connect_if_allowed()
            elif command == A_AUTH:
                if arg0 == 2:  # a signature we cannot check: ask for the next one
                    self.send(A_AUTH, 1, 0, os.urandom(20))
                # a public key (3) waits for the user's Allow
            elif command == A_OPEN and self.connected:
                ours = self.next_id
                self.next_id += 1
                service = data.rstrip(b"\0").decode(errors="replace")
                if service.startswith("shell:"):
                    self.streams[ours] = asyncio.Queue()
                    self.send(A_OKAY, ours, arg0)
                    asyncio.ensure_future(self.shell(ours, arg0, service[6:]))
                else:
                    self.send(A_CLSE, 0, arg0)
            elif command == A_OKAY and arg1 in self.streams:
                self.streams[arg1].put_nowait(True)
            elif command == A_WRTE:
                self.send(A_OKAY, arg1, arg0)
            elif command == A_CLSE and arg1 in self.streams:
                self.streams.pop(arg1).put_nowait(False)

    async def shell(self, ours, theirs, line):
        output = self.phone.run_line(line).encode()
        vanish = self.phone.modes["vanishing"] and "getprop" in line
        if vanish:
            output = output[:len(self.phone.getprop_text()) // 2]
        chunk = 1024 if self.phone.slow else self.max_payload
        for offset in range(0, len(output), chunk):
            if offset and self.phone.slow:
                await asyncio.sleep(self.phone.slow)
            self.send(A_WRTE, ours, theirs, output[offset:offset + chunk])
            queue = self.streams.get(ours)
            if queue is None or not await queue.get():
                return
        if vanish:
            self.writer.close()
            return
        if self.streams.pop(ours, None) is not None:
            self.send(A_CLSE, ours, theirs)


# ---------------------------------------------------------------- iPhone
# usbmuxd's protocol: a 16-byte little-endian header (length, version 1,
# message 8 = plist, tag) and an XML plist; after a "Connect" answered with
# Result 0 the socket carries the device port's bytes. Lockdown (port 62078)
# and its services frame each plist with a 4-byte big-endian length.

LOCKDOWN_PORT = 62078
DIAGNOSTICS_PORT = 49200
SYSTEM_BUID = "5D7CE7A1-3B3D-4C5E-9A2F-6E7B0C1D2E3F"
# What an untrusted iPhone hands a host that asks to pair (a throwaway key).
DEVICE_PUBLIC_KEY = b"""-----BEGIN RSA PUBLIC KEY-----
MIGJAoGBAOsv1z4EM6JoiOvzD06rkMLP7QxmLOrfJa7Xy68Er0H7sxLVAZUEF5JP
hst80LqzaVwtMQpL4Yl0X6bQx8FKZExzF4fXKcWxAgzVTwdMLJ+xvj5V84ssM6Ba
uqDjDeWYnfdQ+iENfglUegYnGtBskoazk4ObcvFn+dqFCLx/n9ZfAgMBAAE=
-----END RSA PUBLIC KEY-----
"""


class IPhone(Phone):
    def __init__(self, index):
        super().__init__(index)
        self.udid = "00008110-%016X" % (0x001A2C3E0E91801E + index)
        self.device_id = index + 1
        self.trusted = False
        self.pair_requests = 0

    def info(self):
        imeis = [] if self.modes["imei_refused"] else self.imeis()
        value = {
            "ActivationState": "Activated", "BuildVersion": "21F90", "CPUArchitecture": "arm64e",
            "DeviceClass": "iPhone", "DeviceColor": "1", "DeviceName": "iPhone %d (simulated)" % self.index,
            "HardwareModel": "D27AP",
            "ModelNumber": "MQ9T3", "PhoneNumber": "+31 6 12345678", "ProductName": "iPhone OS",
            "ProductType": "iPhone15,3", "ProductVersion": "17.5", "RegionInfo": "ZD/A",
            "SerialNumber": "F4GZK%07d" % (1000 + self.index), "TimeZone": "Europe/Amsterdam",
            "UniqueChipID": 7311210000000 + self.index, "UniqueDeviceID": self.udid,
            "WiFiAddress": "a4:c3:37:00:00:%02x" % self.index, "DevicePublicKey": DEVICE_PUBLIC_KEY,
        }
        for key, imei in zip(["InternationalMobileEquipmentIdentity",
                              "InternationalMobileEquipmentIdentity2"], imeis):
            value[key] = imei
        return value

    def ioreg(self):
        b = self.battery()
        return {
            "AdapterDetails": {"Watts": 20, "Description": "pd charger"},
            "AppleRawCurrentCapacity": b["nominal"] * 78 // 100, "AppleRawMaxCapacity": b["nominal"],
            "AtCriticalLevel": False, "BatteryInstalled": True, "CurrentCapacity": 78,
            "CycleCount": b["cycles"], "DesignCapacity": b["design"], "ExternalConnected": True,
            "FullyCharged": False, "IsCharging": True, "MaxCapacity": 100,
            "NominalChargeCapacity": b["nominal"], "Temperature": 2950, "Voltage": 4123,
            "UpdateTime": 1718000000,
        }

    def allow(self):
        self.modes["unauthorized"] = False

    def unplug(self):
        self.plugged = False
        notify({"MessageType": "Detached", "DeviceID": self.device_id})

    def plug(self):
        self.plugged = True
        notify(self.device_record())

    def device_record(self):
        return {"DeviceID": self.device_id, "MessageType": "Attached", "Properties": {
            "ConnectionSpeed": 480000000, "ConnectionType": "USB", "DeviceID": self.device_id,
            "LocationID": 0x14100000 + self.index, "ProductID": 0x12A8,
            "SerialNumber": self.udid, "USBSerialNumber": self.udid.replace("-", "")}}

    def pair_record(self):
        dummy = b"-----BEGIN CERTIFICATE-----\nsimulated\n-----END CERTIFICATE-----\n"
        return plistlib.dumps({
            "DeviceCertificate": dummy, "HostCertificate": dummy, "RootCertificate": dummy,
            "HostPrivateKey": dummy, "RootPrivateKey": dummy, "EscrowBag": b"\0" * 16,
            "HostID": "2A9F2C31-7A0B-4F6E-8D1C-0E5B6A7C8D9E", "SystemBUID": SYSTEM_BUID,
            "WiFiMACAddress": "a4:c3:37:00:00:%02x" % self.index})


async def read_framed(reader):
    size = struct.unpack(">I", await reader.readexactly(4))[0]
    return plistlib.loads(await reader.readexactly(size))


def write_framed(writer, value):
    data = plistlib.dumps(value)
    writer.write(struct.pack(">I", len(data)) + data)


async def lockdown(phone, reader, writer):
    while True:
        request = await read_framed(reader)
        kind = request.get("Request")
        reply = {"Request": kind}
        if phone.slow:
            await asyncio.sleep(phone.slow)
        if phone.modes["vanishing"] and kind == "GetValue" and request.get("Key") is None:
            writer.close()
            return
        if kind == "QueryType":
            reply["Type"] = "com.apple.mobile.lockdown"
        elif kind == "GetValue":
            key = request.get("Key")
            info = phone.info()
            if request.get("Domain"):
                reply["Error"] = "MissingValue"
            elif key is None:
                reply["Value"] = info
            elif key in info:
                reply.update(Key=key, Value=info[key])
            else:
                reply.update(Key=key, Error="MissingValue")
        elif kind == "Pair":
            phone.pair_requests += 1
            if phone.modes["unauthorized"] and not phone.trusted:
                reply["Error"] = "PairingDialogResponsePending"  # "Trust" not yet tapped
            else:
                phone.modes["unauthorized"] = False  # the pair record is kept from now on
                reply["EscrowBag"] = b"\0" * 16
        elif kind == "StartSession" and phone.modes["unauthorized"]:
            reply["Error"] = "InvalidHostID"
        elif kind == "StartSession":
            reply.update(SessionID="SIM-SESSION-%d" % phone.index, EnableSessionSSL=False)
        elif kind == "StartService":
            service = request.get("Service")
            if service == "com.apple.mobile.diagnostics_relay":
                reply.update(Service=service, Port=DIAGNOSTICS_PORT, EnableServiceSSL=False)
            else:
                reply.update(Service=service, Error="InvalidService")
        elif kind == "StopSession":
            pass
        elif kind == "Goodbye":
            write_framed(writer, reply)
            await writer.drain()
            return
        else:
            reply["Error"] = "UnknownRequest"
        write_framed(writer, reply)
        await writer.drain()


async def diagnostics(phone, reader, writer):
    while True:
        request = await read_framed(reader)
        kind = request.get("Request")
        if kind == "IORegistry":
            if request.get("EntryName") == "AppleSmartBattery" or request.get("EntryClass") == "IOPMPowerSource":
                write_framed(writer, {"Status": "Success", "Diagnostics": {"IORegistry": phone.ioreg()}})
            else:
                write_framed(writer, {"Status": "Success", "Diagnostics": {"IORegistry": {}}})
        elif kind == "Goodbye":
            write_framed(writer, {"Status": "Success"})
            await writer.drain()
            return
        else:
            write_framed(writer, {"Status": "UnknownRequest"})
        await writer.drain()


LISTENERS = set()  # the send functions of the clients that asked to Listen


def notify(record):
    for send in list(LISTENERS):
        send(0, record)


async def usbmuxd(phones, reader, writer):
    def send(tag, value):
        data = plistlib.dumps(value)
        writer.write(struct.pack("<4I", 16 + len(data), 1, 8, tag) + data)

    try:
        while True:
            length, _, _, tag = struct.unpack("<4I", await reader.readexactly(16))
            request = plistlib.loads(await reader.readexactly(length - 16))
            kind = request.get("MessageType")
            plugged = [p for p in phones if p.plugged]
            if kind == "ListDevices":
                send(tag, {"DeviceList": [p.device_record() for p in plugged]})
            elif kind == "Listen":
                send(tag, {"MessageType": "Result", "Number": 0})
                for p in plugged:
                    send(0, p.device_record())
                LISTENERS.add(send)
            elif kind == "ReadBUID":
                send(tag, {"BUID": SYSTEM_BUID})
            elif kind == "ReadPairRecord":
                found = [p for p in phones if p.udid == request.get("PairRecordID")
                         and not p.modes["unauthorized"]]
                if found:
                    send(tag, {"PairRecordData": found[0].pair_record()})
                else:
                    send(tag, {"MessageType": "Result", "Number": 2})
            elif kind in ("SavePairRecord", "DeletePairRecord"):
                send(tag, {"MessageType": "Result", "Number": 0})
            elif kind == "Connect":
                found = [p for p in plugged if p.device_id == request.get("DeviceID")]
                port = socket.ntohs(request.get("PortNumber", 0))
                service = {LOCKDOWN_PORT: lockdown, DIAGNOSTICS_PORT: diagnostics}.get(port)
                if not found or service is None:
                    send(tag, {"MessageType": "Result", "Number": 3})  # connection refused
                    continue
                send(tag, {"MessageType": "Result", "Number": 0})
                await writer.drain()
                await service(found[0], reader, writer)
                return
            else:
                send(tag, {"MessageType": "Result", "Number": 1})
            await writer.drain()
    except (ConnectionError, asyncio.IncompleteReadError):
        pass
    finally:
        LISTENERS.discard(send)
        writer.close()


# ---------------------------------------------------------------- control and start


async def control(phones, reader, writer):
    while line := await reader.readline():
        words = line.decode().split()
        try:
            verb, kind, index = words[0], words[1], int(words[2])
            phone = phones[kind][index]
            if verb == "set" and words[3] in MODES:
                if words[3] == "slow":
                    phone.slow = 0.0 if words[4] == "off" else (0.05 if words[4] == "on" else float(words[4]))
                phone.modes[words[3]] = words[4] != "off"
            elif verb == "allow":
                phone.allow()
            elif verb == "unplug":
                phone.unplug()
            elif verb == "plug" and kind == "iphone":
                phone.plug()
            elif verb == "plug":
                phone.plugged = True
            elif verb == "trust" and kind == "iphone":
                phone.trusted = True
            elif verb == "busy" and kind == "android":
                if not any(t.adb.streams for t in phone.transports):
                    raise ValueError
            else:
                raise ValueError
            writer.write(b"ok\n")
        except (ValueError, IndexError, KeyError):
            writer.write(b"error: unknown request: " + line.strip() + b"\n")
        await writer.drain()


async def main():
    args = sys.argv[1:]
    folder = args.pop(0)
    counts = {"android": 1, "iphones": 0}
    modes = []
    while args:
        option, value = args.pop(0), args.pop(0)
        if option == "--mode":
            modes.append(value.split(":"))
        else:
            counts[option[2:]] = int(value)
    phones = {"android": [Android(i) for i in range(counts["android"])],
              "iphone": [IPhone(i) for i in range(counts["iphones"])]}
    for kind, index, mode in modes:
        phones[kind][int(index)].modes[mode] = True
        if mode == "slow":
            phones[kind][int(index)].slow = 0.05
    for phone in phones["android"]:
        phone.server = await asyncio.start_server(phone.serve, "127.0.0.1", 0)
        phone.port = phone.server.sockets[0].getsockname()[1]
    control_path = os.path.join(folder, "control")
    await asyncio.start_unix_server(lambda r, w: control(phones, r, w), control_path)
    usbmuxd_path = os.path.join(folder, "usbmuxd")
    await asyncio.start_unix_server(lambda r, w: usbmuxd(phones["iphone"], r, w), usbmuxd_path)
    print(json.dumps({"android": [p.port for p in phones["android"]],
                      "iphones": [p.udid for p in phones["iphone"]], "usbmuxd": usbmuxd_path,
                      "control": control_path}), flush=True)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        asyncio.get_running_loop().add_signal_handler(sig, stop.set)
    await stop.wait()


if __name__ == "__main__":
    asyncio.run(main())
