-- Wireshark dissector for both sides of bcstbridge: the compressed exchange frames it receives and
-- the 512-byte old-format market-by-price datagrams it publishes.
--
-- Load it with   wireshark -X lua_script:bcstbridge.lua   (or tshark), or copy it into the personal
-- Lua plugin folder (~/.local/lib/wireshark/plugins/). Ports: preferences "bcstbridge.input_port"
-- and "bcstbridge.output_port", or "Decode As... > UDP port > BCSTBRIDGE" for any other port, in
-- which case the datagram is recognised by its shape.
--
-- A capture taken on the bridge's own host shows each frame's output as one UDP "super-packet" of 2
-- to 21 times 512 bytes: the bridge hands a frame's datagrams to the kernel in one segmented send
-- (UDP_SEGMENT), and the capture sees them before they are cut apart. Such a packet is shown as its
-- 512-byte datagrams, each its own message.
--
-- Remember that the bridge sends on its configured SEND_MULTICAST_PORT with the two bytes
-- exchanged: a configured 34330 shows up on the wire as UDP port 6790.

local p = Proto("bcstbridge", "Market-data broadcast bridge")

local OUTPUT_SIZE = 512
local FRAME_HEAD = 6       -- segment code, zero, message count (big-endian), two zero bytes
local MSG_HEADER = 50      -- 8-byte reserved prefix, 40-byte broadcast header, record count
local LEVELS = 10
local LEVEL_SIZE = 12

local segment_names = { [4] = "CM", [2] = "FO", [6] = "CD", [8] = "CO" }
local segment_text = {
    [0] = "unknown segment (no message)", [2] = "FO derivatives", [4] = "CM capital market",
    [6] = "CD currency derivatives", [8] = "CO commodity derivatives",
}
local message_types = { [10500] = "market by price", [10600] = "ticker", [10750] = "open/high/low" }

-- Old-format record layouts. Offsets are from the start of a record slot; the derivatives record
-- carries a 4-byte token where the capital-market one has 2, so every later field sits two bytes on.
local layouts = {
    CM = { size = 212, token_width = 2, after_token = 2 },
    FO = { size = 214, token_width = 4, after_token = 4 },
}
-- Fields after the token, offset relative to the end of the token, in wire order.
local record_fields = {
    { "bookType", 0, 2 },
    { "tradingStatus", 2, 2 },
    { "volumeTradedToday", 4, 4 },
    { "lastTradedPrice", 8, 4 },
    { "netChangeIndicator", 12, 1 },
    { "reserved", 13, 1 },
    { "netPriceChangeFromClosingPrice", 14, 4 },
    { "lastTradeQuantity", 18, 4 },
    { "lastTradeTime", 22, 4 },
    { "averageTradePrice", 26, 4 },
    { "auctionNumber", 30, 2 },
    { "auctionStatus", 32, 2 },
    { "initiatorType", 34, 2 },
    { "initiatorPrice", 36, 4 },
    { "initiatorQuantity", 40, 4 },
    { "auctionPrice", 44, 4 },
    { "auctionQuantity", 48, 4 },
    { "levels", 52, LEVELS * LEVEL_SIZE },
    { "totalBuyFlag", 172, 2 },
    { "totalSellFlag", 174, 2 },
    { "totalBuyQuantity", 176, 8 },
    { "totalSellQuantity", 184, 8 },
    { "mbpIndicator", 192, 2 },
    { "closingPrice", 194, 4 },
    { "openPrice", 198, 4 },
    { "highPrice", 202, 4 },
    { "lowPrice", 206, 4 },
}

local f = {
    -- output datagram
    segment = ProtoField.uint8("bcstbridge.segment", "Segment code", base.DEC, segment_text),
    segment_name = ProtoField.string("bcstbridge.segmentName", "Segment"),
    count = ProtoField.uint16("bcstbridge.count", "Message count", base.DEC),
    message = ProtoField.bytes("bcstbridge.message", "Message"),
    prefix = ProtoField.bytes("bcstbridge.reservedPrefix", "Reserved prefix"),
    logTime = ProtoField.int32("bcstbridge.logTime", "Log time", base.DEC),
    transactionCode = ProtoField.int16("bcstbridge.transactionCode", "Transaction code", base.DEC),
    errorCode = ProtoField.int16("bcstbridge.errorCode", "Error code", base.DEC),
    messageLength = ProtoField.int16("bcstbridge.messageLength", "Message length", base.DEC),
    numberOfRecords = ProtoField.int16("bcstbridge.numberOfRecords", "Number of records", base.DEC),
    record = ProtoField.bytes("bcstbridge.record", "Record"),
    slot = ProtoField.uint8("bcstbridge.slot", "Record slot", base.DEC),
    token = ProtoField.int32("bcstbridge.token", "Token", base.DEC),
    bookType = ProtoField.int16("bcstbridge.bookType", "Book type", base.DEC),
    tradingStatus = ProtoField.int16("bcstbridge.tradingStatus", "Trading status", base.DEC),
    volumeTradedToday = ProtoField.int32("bcstbridge.volumeTradedToday", "Volume traded today", base.DEC),
    lastTradedPrice = ProtoField.int32("bcstbridge.lastTradedPrice", "Last traded price", base.DEC),
    netChangeIndicator = ProtoField.string("bcstbridge.netChangeIndicator", "Net change indicator"),
    reserved = ProtoField.uint8("bcstbridge.reserved", "Reserved", base.HEX),
    netPriceChangeFromClosingPrice = ProtoField.int32("bcstbridge.netPriceChangeFromClosingPrice",
        "Net price change from closing price", base.DEC),
    lastTradeQuantity = ProtoField.int32("bcstbridge.lastTradeQuantity", "Last trade quantity", base.DEC),
    lastTradeTime = ProtoField.int32("bcstbridge.lastTradeTime", "Last trade time", base.DEC),
    averageTradePrice = ProtoField.int32("bcstbridge.averageTradePrice", "Average trade price", base.DEC),
    auctionNumber = ProtoField.int16("bcstbridge.auctionNumber", "Auction number", base.DEC),
    auctionStatus = ProtoField.int16("bcstbridge.auctionStatus", "Auction status", base.DEC),
    initiatorType = ProtoField.int16("bcstbridge.initiatorType", "Initiator type", base.DEC),
    initiatorPrice = ProtoField.int32("bcstbridge.initiatorPrice", "Initiator price", base.DEC),
    initiatorQuantity = ProtoField.int32("bcstbridge.initiatorQuantity", "Initiator quantity", base.DEC),
    auctionPrice = ProtoField.int32("bcstbridge.auctionPrice", "Auction price", base.DEC),
    auctionQuantity = ProtoField.int32("bcstbridge.auctionQuantity", "Auction quantity", base.DEC),
    levels = ProtoField.bytes("bcstbridge.levels", "Depth levels"),
    level = ProtoField.uint8("bcstbridge.level", "Level", base.DEC),
    quantity = ProtoField.int32("bcstbridge.level.quantity", "Quantity", base.DEC),
    price = ProtoField.int32("bcstbridge.level.price", "Price", base.DEC),
    numberOfOrders = ProtoField.int16("bcstbridge.level.numberOfOrders", "Number of orders", base.DEC),
    buySellFlag = ProtoField.int16("bcstbridge.level.buySellFlag", "Buy/sell flag", base.DEC),
    totalBuyFlag = ProtoField.int16("bcstbridge.totalBuyFlag", "Total buy flag", base.DEC),
    totalSellFlag = ProtoField.int16("bcstbridge.totalSellFlag", "Total sell flag", base.DEC),
    totalBuyQuantity = ProtoField.int64("bcstbridge.totalBuyQuantity", "Total buy quantity", base.DEC),
    totalSellQuantity = ProtoField.int64("bcstbridge.totalSellQuantity", "Total sell quantity", base.DEC),
    mbpIndicator = ProtoField.bytes("bcstbridge.mbpIndicator", "MBP indicator"),
    closingPrice = ProtoField.int32("bcstbridge.closingPrice", "Closing price", base.DEC),
    openPrice = ProtoField.int32("bcstbridge.openPrice", "Open price", base.DEC),
    highPrice = ProtoField.int32("bcstbridge.highPrice", "High price", base.DEC),
    lowPrice = ProtoField.int32("bcstbridge.lowPrice", "Low price", base.DEC),
    padding = ProtoField.bytes("bcstbridge.padding", "Padding"),
    -- input frame (little-endian header, LZ4 block payload)
    messageType = ProtoField.int16("bcstbridge.in.messageType", "Message type", base.DEC, message_types),
    compressedLength = ProtoField.int16("bcstbridge.in.compressedLength", "Compressed length", base.DEC),
    recordCount = ProtoField.int16("bcstbridge.in.recordCount", "Record count", base.DEC),
    payload = ProtoField.bytes("bcstbridge.in.payload", "Compressed payload (LZ4 block)"),
    payloadLength = ProtoField.uint32("bcstbridge.in.payloadLength", "Payload bytes present", base.DEC),
    -- a segmented send seen whole
    parts = ProtoField.uint16("bcstbridge.parts", "Datagrams in this segmented packet", base.DEC),
    part = ProtoField.uint16("bcstbridge.part", "Datagram of the segmented packet", base.DEC),
}
local field_list = {}
for _, v in pairs(f) do
    field_list[#field_list + 1] = v
end
p.fields = field_list

local e_short = ProtoExpert.new("bcstbridge.short", "Datagram too short for the layout",
    expert.group.MALFORMED, expert.severity.ERROR)
local e_size = ProtoExpert.new("bcstbridge.size", "Output datagram is not 512 bytes long",
    expert.group.PROTOCOL, expert.severity.WARN)
local e_count = ProtoExpert.new("bcstbridge.records", "Number of records is not 1 or 2",
    expert.group.PROTOCOL, expert.severity.WARN)
local e_payload = ProtoExpert.new("bcstbridge.payload", "Compressed length reaches past the datagram",
    expert.group.MALFORMED, expert.severity.WARN)
local e_segmented = ProtoExpert.new("bcstbridge.segmented",
    "Segmented send seen before the kernel cut it: shown as its 512-byte datagrams",
    expert.group.SEQUENCE, expert.severity.NOTE)
p.experts = { e_short, e_size, e_count, e_payload, e_segmented }

p.prefs.input_port = Pref.uint("Input port", 34330, "UDP port of the exchange feed (compressed frames)")
p.prefs.output_port = Pref.uint("Output port", 6790,
    "UDP port of the published datagrams as seen on the wire (the configured send port byte-exchanged)")

-- The same test the capture decoder uses: 512 bytes, a known segment code, a zero byte and a
-- message count of 1.
local function looks_like_output(tvb)
    if tvb:len() ~= OUTPUT_SIZE then
        return false
    end
    local code = tvb(0, 1):uint()
    return (code == 0 or code == 2 or code == 4 or code == 6 or code == 8)
        and tvb(1, 1):uint() == 0 and tvb(2, 2):uint() == 1
end

local function add_record(tree, tvb, base, layout, slot)
    local rec = tvb(base, layout.size)
    local rt = tree:add(f.record, rec)
    rt:set_text(string.format("Record slot %d", slot))
    rt:add(f.slot, rec(0, 0), slot)
    local token_range = tvb(base, layout.token_width)
    local token = token_range:int()
    rt:add(f.token, token_range, token)
    rt:append_text(string.format(", token %d", token))
    local after = base + layout.after_token
    for _, d in ipairs(record_fields) do
        local name, off, width = d[1], d[2], d[3]
        local r = tvb(after + off, width)
        if name == "levels" then
            local lt = rt:add(f.levels, r)
            for k = 1, LEVELS do
                local lr = r((k - 1) * LEVEL_SIZE, LEVEL_SIZE)
                local item = lt:add(f.level, lr, k)
                item:append_text(string.format(": %d @ %d, %d orders, flag %d", lr(0, 4):int(),
                    lr(4, 4):int(), lr(8, 2):int(), lr(10, 2):int()))
                item:add(f.quantity, lr(0, 4))
                item:add(f.price, lr(4, 4))
                item:add(f.numberOfOrders, lr(8, 2))
                item:add(f.buySellFlag, lr(10, 2))
            end
        elseif name == "netChangeIndicator" then
            rt:add(f.netChangeIndicator, r, r:string())
        elseif name == "totalBuyQuantity" or name == "totalSellQuantity" then
            rt:add(f[name], r, r:int64())
        else
            rt:add(f[name], r)
        end
    end
    return token
end

local function dissect_output(tvb, pinfo, tree, part)
    pinfo.cols.protocol = "BCSTBRIDGE"
    local t = tree:add(p, tvb(), "bcstbridge output datagram")
    if part then
        t:append_text(string.format(" %d", part))
        t:add(f.part, tvb(0, 0), part)
    end
    if tvb:len() ~= OUTPUT_SIZE then
        t:add_proto_expert_info(e_size)
    end
    if tvb:len() < FRAME_HEAD then
        t:add_proto_expert_info(e_short)
        return
    end
    local code = tvb(0, 1):uint()
    local segment = segment_names[code]
    t:add(f.segment, tvb(0, 1))
    t:add(f.segment_name, tvb(0, 1), segment or "unknown")
    t:add(f.count, tvb(2, 2))
    if segment == nil then
        pinfo.cols.info = string.format("Output, segment code %d (no message)", code)
        return
    end
    local layout = segment == "CM" and layouts.CM or layouts.FO
    local msg_size = MSG_HEADER + 2 * layout.size
    if tvb:len() < FRAME_HEAD + msg_size then
        t:add_proto_expert_info(e_short)
        return
    end
    local m = FRAME_HEAD
    local mt = t:add(f.message, tvb(m, msg_size))
    mt:set_text(string.format("%s message (%d bytes)", segment == "CM" and "Capital-market" or "Derivatives",
        msg_size))
    mt:add(f.prefix, tvb(m, 8))
    mt:add(f.logTime, tvb(m + 12, 4))
    mt:add(f.transactionCode, tvb(m + 18, 2))
    mt:add(f.errorCode, tvb(m + 20, 2))
    mt:add(f.messageLength, tvb(m + 46, 2))
    local nrec_item = mt:add(f.numberOfRecords, tvb(m + 48, 2))
    local nrec = tvb(m + 48, 2):int()
    local shown = nrec
    if nrec < 1 or nrec > 2 then
        nrec_item:add_proto_expert_info(e_count)
        shown = math.max(0, math.min(nrec, 2))
    end
    local tokens = {}
    for s = 0, shown - 1 do
        tokens[#tokens + 1] = tostring(add_record(mt, tvb, m + MSG_HEADER + s * layout.size, layout, s))
    end
    local tail = FRAME_HEAD + msg_size
    if tvb:len() > tail then
        t:add(f.padding, tvb(tail))
    end
    pinfo.cols.info = string.format("%s %d, %d record%s, token %s", segment, tvb(m + 18, 2):int(), nrec,
        nrec == 1 and "" or "s", table.concat(tokens, ", "))
end

local function dissect_input(tvb, pinfo, tree)
    pinfo.cols.protocol = "BCSTBRIDGE"
    local t = tree:add(p, tvb(), "bcstbridge input frame")
    if tvb:len() < FRAME_HEAD then
        t:add_proto_expert_info(e_short)
        return
    end
    local mtype = tvb(0, 2):le_int()
    local clen = tvb(2, 2):le_int()
    local count = tvb(4, 2):le_int()
    t:add_le(f.messageType, tvb(0, 2))
    t:add_le(f.compressedLength, tvb(2, 2))
    t:add_le(f.recordCount, tvb(4, 2))
    local present = tvb:len() - FRAME_HEAD
    local payload_len = math.max(0, math.min(clen, present))
    if payload_len > 0 then
        t:add(f.payload, tvb(FRAME_HEAD, payload_len))
    end
    t:add(f.payloadLength, tvb(FRAME_HEAD, 0), payload_len)
    if clen > present then
        t:add_proto_expert_info(e_payload)
    end
    pinfo.cols.info = string.format("Input %d (%s), %d records, %d compressed bytes", mtype,
        message_types[mtype] or "unknown type", count, clen)
end

-- Several output datagrams back to back: a whole multiple of 512 bytes whose first 512 look like one.
local function segmented(tvb)
    local n = tvb:len() / OUTPUT_SIZE
    return tvb:len() > OUTPUT_SIZE and tvb:len() % OUTPUT_SIZE == 0
        and looks_like_output(tvb(0, OUTPUT_SIZE):tvb()), n
end

local function dissect_segmented(tvb, pinfo, tree, n)
    local infos = {}
    local whole = tree:add(p, tvb(), string.format("bcstbridge segmented send: %d output datagrams", n))
    whole:add(f.parts, tvb(0, 0), n)
    whole:add_proto_expert_info(e_segmented)
    for k = 1, n do
        dissect_output(tvb((k - 1) * OUTPUT_SIZE, OUTPUT_SIZE):tvb(), pinfo, tree, k)
        infos[#infos + 1] = tostring(pinfo.cols.info)
    end
    pinfo.cols.info = string.format("%d datagrams: %s", n, table.concat(infos, " | "))
end

function p.dissector(tvb, pinfo, tree)
    local port = pinfo.match_uint
    local input_port, output_port = p.prefs.input_port, p.prefs.output_port
    local is_segmented, parts = segmented(tvb)
    if input_port ~= output_port and port == input_port then
        dissect_input(tvb, pinfo, tree)
    elseif is_segmented then
        dissect_segmented(tvb, pinfo, tree, parts)
    elseif input_port ~= output_port and port == output_port then
        dissect_output(tvb, pinfo, tree)
    elseif looks_like_output(tvb) then
        dissect_output(tvb, pinfo, tree)
    else
        dissect_input(tvb, pinfo, tree)
    end
    return tvb:len()
end

local udp_port = DissectorTable.get("udp.port")
local registered = {}

local function register_ports()
    for _, port in ipairs(registered) do
        udp_port:remove(port, p)
    end
    registered = {}
    for _, port in ipairs({ p.prefs.input_port, p.prefs.output_port }) do
        if port ~= 0 then
            udp_port:add(port, p)
            registered[#registered + 1] = port
        end
    end
end

function p.prefs_changed()
    register_ports()
end

register_ports()
udp_port:add_for_decode_as(p)
