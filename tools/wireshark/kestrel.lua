-- Kestrel's line protocol for Wireshark 4.0 and later (Lua 5.2).
--
-- One line per request or reply, ended by CR LF: a request is
-- <Word,field,...>, a reply <Word,OK,payload...> or <Word,NG,message>.
-- Texts are GBK (code page 936). The server listens on TCP port 8000 unless
-- told otherwise; other ports are found by the heuristic below.
--
-- Install: copy this file into the personal Lua plugins folder
-- (~/.local/lib/wireshark/plugins/ on Linux), or load it once with
-- tshark -X lua_script:kestrel.lua. See docs/wireshark.md.

local kestrel = Proto("kestrel", "Kestrel vision-server protocol")

-- The client's reply buffer holds 10,240 bytes: a longer line (CR LF
-- included) cannot be read whole.
local MAX_LINE = 10239

local hf = {
  direction   = ProtoField.string("kestrel.direction", "Direction"),
  command     = ProtoField.string("kestrel.command", "Command"),
  type        = ProtoField.string("kestrel.type", "Reply type"),
  message     = ProtoField.string("kestrel.message", "NG message"),
  fields      = ProtoField.string("kestrel.fields", "Fields"),
  field       = ProtoField.string("kestrel.field", "Field"),
  request_in  = ProtoField.framenum("kestrel.request_in", "Request in", base.NONE, frametype.REQUEST),
  response_in = ProtoField.framenum("kestrel.response_in", "Response in", base.NONE, frametype.RESPONSE),
  time        = ProtoField.relative_time("kestrel.time", "Response time"),
}
kestrel.fields = hf

local ex = {
  ng       = ProtoExpert.new("kestrel.ng", "NG reply",
                             expert.group.RESPONSE_CODE, expert.severity.NOTE),
  unframed = ProtoExpert.new("kestrel.unframed", "Line without the <...> frame",
                             expert.group.MALFORMED, expert.severity.WARN),
  overlong = ProtoExpert.new("kestrel.overlong", "Line longer than 10,239 bytes",
                             expert.group.MALFORMED, expert.severity.ERROR),
  no_reply = ProtoExpert.new("kestrel.no_reply", "Request without a reply",
                             expert.group.SEQUENCE, expert.severity.WARN),
  stray    = ProtoExpert.new("kestrel.stray_reply", "Reply to no pending request",
                             expert.group.SEQUENCE, expert.severity.WARN),
}
kestrel.experts = { ex.ng, ex.unframed, ex.overlong, ex.no_reply, ex.stray }

kestrel.prefs.port = Pref.uint("TCP port", 8000,
  "The vision server's TCP port (0: none; other ports are found heuristically)")

local tcp_port_table = DissectorTable.get("tcp.port")
local registered_port = 0
local function register_port()
  if registered_port ~= 0 then tcp_port_table:remove(registered_port, kestrel) end
  registered_port = kestrel.prefs.port
  if registered_port ~= 0 then tcp_port_table:add(registered_port, kestrel) end
end
kestrel.prefs_changed = register_port

-- What the first pass learns, kept for the later ones (tshark -2, the GUI):
-- conversations by TCP stream (the client's end, the requests still waiting
-- for a reply), and per line (keyed by frame and position) its pairing.
local conversations, learnt
local function forget()
  conversations, learnt = {}, {}
end
kestrel.init = forget
forget()

local tcp_stream = Field.new("tcp.stream")
-- TvbRange:string(ENC_GB18030) of Wireshark 4.0 cuts the decoded text to the
-- number of bytes it was decoded from: texts for the Info column and the
-- expert infos are read back from the fields instead.
local command_field = Field.new("kestrel.command")
local message_field = Field.new("kestrel.message")

-- The value of the last field FIELD in the packet so far (nil when the tree
-- is not built).
local function last_value(field)
  local all = { field() }
  return all[#all] and all[#all].value
end

local function conversation()
  local streams = { tcp_stream() }
  local key = streams[#streams] and streams[#streams].value or -1
  local conv = conversations[key]
  if not conv then
    conv = { pending = {} }
    conversations[key] = conv
  end
  return conv
end

-- A line goes to the server port, or, on another port, comes from the end
-- that sent the conversation's first line.
local function is_request(pinfo, conv)
  local port = kestrel.prefs.port
  if port ~= 0 and pinfo.src_port ~= pinfo.dst_port then
    if pinfo.dst_port == port then return true end
    if pinfo.src_port == port then return false end
  end
  local sender = tostring(pinfo.src) .. ":" .. pinfo.src_port
  conv.client = conv.client or sender
  return conv.client == sender
end

-- The fields between '<' and '>' split at commas, as {offset, length} in the
-- tvb. GBK's second bytes are all above 0x3F, so ',' '<' '>' CR LF never
-- occur inside a character.
local function split(data, off, len)
  local parts, start, close = {}, off + 2, off + len
  while true do
    local comma = data:find(",", start, true)
    if not comma or comma >= close then
      parts[#parts + 1] = { start - 1, close - start }
      return parts
    end
    parts[#parts + 1] = { start - 1, comma - start }
    start = comma + 1
  end
end

-- Pairs a reply with the oldest waiting request of the same word. The
-- server answers in order, so the requests waiting before that one will
-- get no reply.
local function pair(conv, word, key, pinfo)
  for i, req in ipairs(conv.pending) do
    if req.word == word then
      learnt[req.key] = { response_in = pinfo.number }
      learnt[key] = { request_in = req.frame, time = pinfo.rel_ts - req.ts }
      for j = 1, i - 1 do
        learnt[conv.pending[j].key] = { superseded_in = pinfo.number }
      end
      for _ = 1, i do table.remove(conv.pending, 1) end
      return
    end
  end
  learnt[key] = { stray = true }
end

local function seconds(t)
  local s = math.floor(t)
  local ns = math.floor((t - s) * 1e9 + 0.5)
  if ns >= 1000000000 then s, ns = s + 1, ns - 1000000000 end
  return NSTime.new(s, ns)
end

-- Dissects one line: LEN bytes at OFF, then EOL bytes of CR LF (0 or 2).
-- Returns the text for the Info column.
local function dissect_line(tvb, data, pinfo, tree, off, len, eol)
  local whole = tvb(off, len + eol)
  local item = tree:add(kestrel, whole)
  local conv = conversation()
  local request = is_request(pinfo, conv)
  item:add(hf.direction, whole, request and "request" or "reply"):set_generated()

  if len + eol > MAX_LINE then
    item:add_proto_expert_info(ex.overlong,
      string.format("Line of %d bytes, longer than the %d a reply buffer holds", len + eol, MAX_LINE))
  end

  local framed = len >= 2 and data:byte(off + 1) == 60 and data:byte(off + len) == 62
  local parts = framed and split(data, off, len) or {}
  -- Adds parts FIRST to LAST (default: all that follow) as one field, its
  -- text decoded from GBK.
  local function add_text(field, first, last)
    local a, b = parts[first], parts[last or #parts]
    return item:add_packet_field(field, tvb(a[1], b[1] + b[2] - a[1]), ENC_GB18030)
  end
  local function add_fields(first)
    if not parts[first] then return end
    local sub = add_text(hf.fields, first)
    for i = first, #parts do
      sub:add_packet_field(hf.field, tvb(parts[i][1], parts[i][2]), ENC_GB18030)
    end
  end

  -- The word as sent (it pairs the reply with its request) and as shown.
  local word, shown, kind
  if framed then
    word = tvb(parts[1][1], parts[1][2]):raw()
    add_text(hf.command, 1, 1)
    shown = last_value(command_field) or word
  else
    item:add_proto_expert_info(ex.unframed)
  end

  if request then
    add_fields(2)
  else
    local second = parts[2] and tvb(parts[2][1], parts[2][2]):raw()
    kind = (second == "OK" or second == "NG") and second or "other"
    item:add(hf.type, parts[2] and tvb(parts[2][1], parts[2][2]) or whole, kind)
    if kind == "NG" then
      if parts[3] then add_text(hf.message, 3) end
      item:add_proto_expert_info(ex.ng, "NG reply: " .. (parts[3] and last_value(message_field) or ""))
    else
      add_fields(kind == "OK" and 3 or 2)
    end
  end

  -- A line is known by its frame and where it starts: in the frame's bytes,
  -- or in a reassembled buffer (TCP hands one over as a tvb of its own, at
  -- offset 0, and may then call again for the rest of the segment).
  local key = pinfo.number .. (tvb:offset() > 0 and ":f" or ":r") .. (tvb:offset() + off)
  if not pinfo.visited and word then
    if request then
      table.insert(conv.pending, { key = key, frame = pinfo.number, ts = pinfo.rel_ts, word = word })
    else
      pair(conv, word, key, pinfo)
    end
  end

  local seen = learnt[key] or {}
  if seen.response_in then
    item:add(hf.response_in, whole, seen.response_in):set_generated()
  elseif seen.request_in then
    item:add(hf.request_in, whole, seen.request_in):set_generated()
    item:add(hf.time, whole, seconds(seen.time)):set_generated()
  elseif seen.superseded_in then
    item:add_proto_expert_info(ex.no_reply,
      "No reply: a later request was answered in frame " .. seen.superseded_in)
  elseif seen.stray then
    item:add_proto_expert_info(ex.stray)
  elseif request and word and pinfo.visited then
    -- Still waiting when the first pass ended.
    item:add_proto_expert_info(ex.no_reply, "No reply before the end of the capture")
  end

  local label = (request and "Request " or "Reply ") .. (shown or "(unframed)")
  if kind and framed then label = label .. " " .. kind end
  item:append_text(": " .. label)
  return label
end

function kestrel.dissector(tvb, pinfo, tree)
  local data = tvb:raw()
  local off, total = 0, #data
  local labels = {}
  while off < total do
    local cr = data:find("\r\n", off + 1, true)
    local len, eol = cr and cr - 1 - off or total - off, cr and 2 or 0
    if not cr and pinfo.can_desegment > 0 then
      -- The rest of the line is still to come.
      pinfo.desegment_offset = off
      pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
      break
    end
    labels[#labels + 1] = dissect_line(tvb, data, pinfo, tree, off, len, eol)
    off = off + len + eol
  end
  if #labels > 0 then
    -- TCP may hand over a reassembled line and then the rest of the same
    -- segment: the second call adds to the first one's Info.
    local info = table.concat(labels, ", ")
    if tostring(pinfo.cols.protocol) == "Kestrel" then
      pinfo.cols.info:append(", " .. info)
    else
      pinfo.cols.protocol = "Kestrel"
      pinfo.cols.info = info
    end
  end
  return total
end

-- Other ports: a conversation whose first payload starts as a request does,
-- <Word, or <Word> (letters, digits, underscores), is Kestrel from then on.
local function heuristic(tvb, pinfo, tree)
  local head = tvb:raw(0, math.min(tvb:len(), 80))
  if not head:find("^<[%w_]+[,>]") then return false end
  pinfo.conversation = kestrel
  kestrel.dissector(tvb, pinfo, tree)
  return true
end
kestrel:register_heuristic("tcp", heuristic)
register_port()
