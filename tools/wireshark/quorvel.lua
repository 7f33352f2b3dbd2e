-- Wireshark/tshark dissector for the board's serial trace written by
-- `trace -w FILE` (quorvel-board): a pcap file on the user link type
-- LINKTYPE_USER0 (147), one packet per frame, each a direction byte (0 a
-- request to the co-processor, 1 its reply, 2 bytes the module drained)
-- followed by the bytes as they crossed the line.
--
--   tshark -X lua_script:tools/wireshark/quorvel.lua -r trace.pcap
--   tshark -X lua_script:tools/wireshark/quorvel.lua -r trace.pcap -Y 'quorvel.type == 4'
--
-- A frame: head (0x80 | device type), length (the whole frame, 0 for 256),
-- command in the high nibble and status in the low one, the payload, a
-- CRC-8 (polynomial 0x07, start 0) over the payload, and a tail byte that a
-- reply echoes from its request.

local quorvel = Proto("quorvel", "Quorvel co-processor serial line")

local types = {
    [1] = "I2C", [2] = "SPI", [3] = "UART", [4] = "GPIO", [5] = "PWM", [6] = "ADC",
    [7] = "WS2812", [8] = "SR04", [9] = "DHT", [10] = "CONFIG", [11] = "BUZZER",
    [12] = "DS18B20", [13] = "IR_SEND", [14] = "IR_RECV", [15] = "ICM20689", [16] = "GP2Y",
}
local commands = {
    [1] = "OPEN", [2] = "WRITE", [3] = "READ", [5] = "CLOSE", [6] = "REG_READ",
    [7] = "CONTROL", [8] = "REG_WRITE",
}
local directions = { [0] = "request", [1] = "reply", [2] = "drained" }

local f = quorvel.fields
f.direction = ProtoField.uint8("quorvel.direction", "Direction", base.DEC, directions)
f.head = ProtoField.uint8("quorvel.head", "Head", base.HEX)
f.type = ProtoField.uint8("quorvel.type", "Device type", base.DEC, types, 0x3f)
f.length = ProtoField.uint8("quorvel.length", "Length", base.DEC)
f.command = ProtoField.uint8("quorvel.command", "Command", base.DEC, commands, 0xf0)
f.status = ProtoField.uint8("quorvel.status", "Status", base.HEX, nil, 0x0f)
f.payload = ProtoField.bytes("quorvel.payload", "Payload", base.SPACE)
f.crc = ProtoField.uint8("quorvel.crc", "CRC-8", base.HEX)
f.crc_ok = ProtoField.bool("quorvel.crc_ok", "CRC good")
f.tail = ProtoField.uint8("quorvel.tail", "Tail", base.HEX)
f.raw = ProtoField.bytes("quorvel.raw", "Bytes", base.SPACE)

local function crc8(tvb)
    local crc = 0
    for i = 0, tvb:len() - 1 do
        crc = bit.bxor(crc, tvb(i, 1):uint())
        for _ = 1, 8 do
            if bit.band(crc, 0x80) ~= 0 then
                crc = bit.band(bit.bxor(bit.lshift(crc, 1), 0x07), 0xff)
            else
                crc = bit.band(bit.lshift(crc, 1), 0xff)
            end
        end
    end
    return crc
end

local function hex(tvb)
    local out = {}
    for i = 0, tvb:len() - 1 do
        out[#out + 1] = string.format("%02x", tvb(i, 1):uint())
    end
    return table.concat(out, " ")
end

function quorvel.dissector(tvb, pinfo, tree)
    if tvb:len() < 1 then
        return 0
    end
    pinfo.cols.protocol = "QUORVEL"
    local dir = tvb(0, 1):uint()
    local subtree = tree:add(quorvel, tvb(), "Quorvel serial line")
    subtree:add(f.direction, tvb(0, 1))
    local bytes = tvb(1):tvb()
    local n = bytes:len()
    local arrow = dir == 0 and "->" or (dir == 1 and "<-" or "xx")
    local length = n >= 2 and bytes(1, 1):uint() or 0
    if length == 0 and n >= 2 then
        length = 256
    end
    if dir == 2 or n < 5 or bit.band(bytes(0, 1):uint(), 0xc0) ~= 0x80 or length ~= n then
        subtree:add(f.raw, bytes())
        pinfo.cols.info = string.format("%s %d bytes: %s", arrow, n, n > 0 and hex(bytes) or "")
        return tvb:len()
    end
    local head = bytes(0, 1):uint()
    local type_name = types[bit.band(head, 0x3f)] or string.format("type%02x", bit.band(head, 0x3f))
    local cmd = bit.rshift(bytes(2, 1):uint(), 4)
    local cmd_name = commands[cmd] or string.format("cmd%x", cmd)
    local payload = n > 5 and bytes(3, n - 5) or nil
    local crc = bytes(n - 2, 1):uint()
    local good = (payload and crc8(payload:tvb()) or 0) == crc
    subtree:add(f.head, bytes(0, 1))
    subtree:add(f.type, bytes(0, 1))
    subtree:add(f.length, bytes(1, 1))
    subtree:add(f.command, bytes(2, 1))
    if dir == 1 then
        subtree:add(f.status, bytes(2, 1))
    end
    if payload then
        subtree:add(f.payload, payload)
    end
    subtree:add(f.crc, bytes(n - 2, 1))
    subtree:add(f.crc_ok, good)
    subtree:add(f.tail, bytes(n - 1, 1))
    local info = string.format("%s %s %s", arrow, type_name, cmd_name)
    if dir == 1 then
        info = info .. string.format(" st %x", bit.band(bytes(2, 1):uint(), 0x0f))
    end
    info = info .. string.format(" [%s] crc %s tail %02x", payload and hex(payload:tvb()) or "", good and "ok" or "BAD",
        bytes(n - 1, 1):uint())
    pinfo.cols.info = info
    return tvb:len()
end

-- The user link types: wtap_encaps.USER0 in newer Wiresharks, wtap.USER0 in older ones.
local user0 = (wtap_encaps and wtap_encaps.USER0) or wtap.USER0
DissectorTable.get("wtap_encap"):add(user0, quorvel)
