-- Wireshark dissector for the Rallylink link between a game and Meetpoint.
--
-- Every message in both directions is a frame: a little-endian u32 total length that counts
-- its own 4 bytes, then the payload, whose first byte is the message type. The side on
-- Meetpoint's port is Meetpoint; its messages are events, the game's are requests.
--
-- Field names are those of meetpoint's transcript in lower case (rallylink.giid for GiID).
--
-- Use: tshark -X lua_script:rallylink.lua -o rallylink.port:2300 -r capture.pcap
-- (or copy the file into Wireshark's plugin folder and set the port in the preferences).

local rallylink = Proto("rallylink", "Rallylink game-Meetpoint link")

local message_names = {
  [0x01] = "Initialise", [0x02] = "Shutdown", [0x03] = "ServerDescription",
  [0x04] = "GameState", [0x05] = "LobbyMessage", [0x06] = "StartGameInstance",
  [0x07] = "GameResults", [0x08] = "Vote", [0x09] = "AccusePlayer", [0x0A] = "JoinGame",
  [0x0B] = "Stats", [0x20] = "NewGameInstance", [0x21] = "NewGameResults",
  [0x22] = "NewGameVote", [0x23] = "NewGameJoin", [0x2C] = "IncomingMessage",
}

local f = {
  length = ProtoField.uint32("rallylink.length", "Frame length", base.DEC),
  direction = ProtoField.string("rallylink.direction", "Direction"),
  type = ProtoField.uint8("rallylink.type", "Message type", base.HEX, message_names),
  message = ProtoField.string("rallylink.message", "Message"),
  initialise_value = ProtoField.uint16("rallylink.initialisevalue", "Initialise value", base.DEC),
  state = ProtoField.uint8("rallylink.state", "Game state", base.DEC),
  giid = ProtoField.uint32("rallylink.giid", "Game instance", base.DEC),
  vote = ProtoField.uint8("rallylink.vote", "Vote", base.DEC),
  voting_flags = ProtoField.uint32("rallylink.votingflags", "Voting flags", base.HEX),
  result = ProtoField.uint32("rallylink.result", "Join result", base.DEC),
  res_size = ProtoField.uint32("rallylink.ressize", "Result bytes", base.DEC),
  results = ProtoField.bytes("rallylink.results", "Results"),
  num_plrs = ProtoField.uint32("rallylink.numplrs", "Players", base.DEC),
  records_size = ProtoField.uint32("rallylink.recordssize", "Records size", base.DEC),
  player_name = ProtoField.string("rallylink.name", "Player name"),
  rating = ProtoField.uint32("rallylink.rating", "Rating", base.DEC),
  accused = ProtoField.string("rallylink.player", "Accused player"),
  from_length = ProtoField.uint16("rallylink.fromlength", "Sender length", base.DEC),
  from = ProtoField.string("rallylink.from", "Sender"),
  text_length = ProtoField.uint16("rallylink.textlength", "Text length", base.DEC),
  text = ProtoField.string("rallylink.text", "Text"),
  voter = ProtoField.string("rallylink.voter", "Voter"),
  stats = ProtoField.string("rallylink.stats", "Statistics"),
  extra_size = ProtoField.uint16("rallylink.extrasize", "Extra block size", base.DEC),
  extra = ProtoField.bytes("rallylink.extra", "Extra block"),
  non_size = ProtoField.uint16("rallylink.nonsize", "Non block size", base.DEC),
  non = ProtoField.bytes("rallylink.non", "Non block"),
}
rallylink.fields = f

local malformed = ProtoExpert.new("rallylink.malformed", "Malformed Rallylink message",
                                  expert.group.MALFORMED, expert.severity.ERROR)
local bad_length = ProtoExpert.new("rallylink.bad_length", "Frame length outside 5 to 4096",
                                   expert.group.MALFORMED, expert.severity.ERROR)
local unknown_type = ProtoExpert.new("rallylink.unknown_type", "Unknown message type",
                                     expert.group.UNDECODED, expert.severity.WARN)
local wrong_direction = ProtoExpert.new("rallylink.wrong_direction",
                                        "Message type not sent in this direction",
                                        expert.group.PROTOCOL, expert.severity.WARN)
rallylink.experts = {malformed, bad_length, unknown_type, wrong_direction}

rallylink.prefs.port = Pref.uint("Meetpoint port", 0, "TCP port on which Meetpoint listens")

-- Decoding of one payload. Each decoder reads fields in order from a cursor; a field that
-- runs past the payload marks the message malformed and stops the decoding.
local Reader = {}
Reader.__index = Reader

local function new_reader(tvb, tree, item)
  return setmetatable({tvb = tvb, tree = tree, item = item, pos = 1, ok = true}, Reader)
end

function Reader:left() return self.tvb:len() - self.pos end

function Reader:fail(what)
  if self.ok then self.tree:add_proto_expert_info(malformed, what) end
  self.ok = false
end

function Reader:le(field, width)
  if not self.ok then return nil end
  if self:left() < width then return self:fail("payload ends inside a field") end
  local range = self.tvb(self.pos, width)
  self.tree:add_le(field, range)
  self.pos = self.pos + width
  return range:le_uint()
end

function Reader:bytes(field, count)
  if not self.ok then return end
  if self:left() < count then return self:fail("payload ends inside a field") end
  if count > 0 then self.tree:add(field, self.tvb(self.pos, count)) end
  self.pos = self.pos + count
end

-- A zero-terminated string; one without its zero is taken to the payload's end.
function Reader:cstring(field)
  if not self.ok then return end
  local left = self:left()
  if left <= 0 then return self:fail("string missing") end
  local length = left
  for i = 0, left - 1 do
    if self.tvb(self.pos + i, 1):uint() == 0 then
      length = i
      break
    end
  end
  local range = self.tvb(self.pos, length)
  self.tree:add(field, range, range:string())
  if length == left then
    self.tree:add_proto_expert_info(malformed, "string without its terminating zero")
    self.pos = self.pos + length
  else
    self.pos = self.pos + length + 1
  end
end

-- A string of a given length, without terminator.
function Reader:counted(field, length)
  if not self.ok then return end
  if self:left() < length then return self:fail("payload ends inside a string") end
  local range = self.tvb(self.pos, length)
  self.tree:add(field, range, length > 0 and range:string() or "")
  self.pos = self.pos + length
end

function Reader:done()
  if self.ok and self:left() > 0 then
    self.tree:add_proto_expert_info(malformed, "bytes beyond the message's fields")
  end
end

local decoders = {
  [0x01] = function(r) r:le(f.initialise_value, 2) end,
  [0x02] = function() end,
  [0x03] = function(r)
    r:bytes(f.extra, r:le(f.extra_size, 2) or 0)
    r:bytes(f.non, r:le(f.non_size, 2) or 0)
  end,
  [0x04] = function(r) r:le(f.state, 1) end,
  [0x05] = function(r)
    r:counted(f.from, r:le(f.from_length, 2) or 0)
    r:counted(f.text, r:le(f.text_length, 2) or 0)
  end,
  [0x06] = function() end,
  [0x07] = function(r)
    r:le(f.giid, 4)
    r:bytes(f.results, r:le(f.res_size, 4) or 0)
    r:le(f.vote, 1)
    r:le(f.num_plrs, 4)
  end,
  [0x08] = function(r)
    r:le(f.giid, 4)
    r:le(f.vote, 1)
  end,
  [0x09] = function(r)
    r:le(f.giid, 4)
    r:cstring(f.accused)
  end,
  [0x0A] = function(r) r:le(f.giid, 4) end,
  [0x0B] = function(r) r:cstring(f.stats) end,
  [0x20] = function(r)
    r:le(f.giid, 4)
    r:le(f.voting_flags, 4)
  end,
  [0x21] = function(r)
    r:le(f.giid, 4)
    r:le(f.vote, 1)
    local players = r:le(f.num_plrs, 4)
    local size = r:le(f.records_size, 4)
    if not r.ok then return end
    if size > players * 36 then r.tree:add_proto_expert_info(malformed, "records size above players x 36") end
    if r:left() < players * 36 then return r:fail("player records run past the payload") end
    for _ = 1, players do
      local name = r.tvb(r.pos, 32)
      r.tree:add(f.player_name, name, name:stringz())
      r.pos = r.pos + 32
      r:le(f.rating, 4)
    end
  end,
  [0x22] = function(r)
    r:le(f.giid, 4)
    r:le(f.vote, 1)
    r:cstring(f.voter)
  end,
  [0x23] = function(r)
    r:le(f.giid, 4)
    r:le(f.result, 4)
  end,
  [0x2C] = function(r)
    r:cstring(f.from)
    r:cstring(f.text)
  end,
}

local function frame_length(tvb, pinfo, offset)
  local length = tvb(offset, 4):le_uint()
  -- A length outside the protocol's limits can't be followed: the rest of the segment is
  -- shown as one malformed frame.
  if length < 5 or length > 4096 then return tvb:len() - offset end
  return length
end

local function dissect_frame(tvb, pinfo, tree)
  local from_meetpoint = pinfo.src_port == rallylink.prefs.port
  local length = tvb(0, 4):le_uint()
  local item = tree:add(rallylink, tvb())
  item:add_le(f.length, tvb(0, 4))
  item:add(f.direction, from_meetpoint and "Meetpoint to game" or "game to Meetpoint")
  pinfo.cols.protocol = "Rallylink"
  if length < 5 or length > 4096 then
    item:add_proto_expert_info(bad_length)
    pinfo.cols.info = "Malformed frame"
    return tvb:len()
  end
  local payload = tvb(4):tvb()
  local code = payload(0, 1):uint()
  item:add(f.type, payload(0, 1))
  local name = message_names[code]
  local decode = decoders[code]
  local label = name or string.format("Unknown 0x%02X", code)
  item:add(f.message, label)
  item:append_text(": " .. label)
  local info = (from_meetpoint and "-> " or "<- ") .. label
  if tostring(pinfo.cols.info):find("^[<-]") then
    pinfo.cols.info:append("; " .. info)
  else
    pinfo.cols.info = info
  end
  if not decode then
    item:add_proto_expert_info(unknown_type)
    return tvb:len()
  end
  if (code >= 0x20) ~= from_meetpoint then item:add_proto_expert_info(wrong_direction) end
  local r = new_reader(payload, item, item)
  decode(r)
  r:done()
  return tvb:len()
end

function rallylink.dissector(tvb, pinfo, tree)
  dissect_tcp_pdus(tvb, tree, 4, frame_length, dissect_frame)
  return tvb:len()
end

local registered_port = 0
function rallylink.prefs_changed()
  local tcp = DissectorTable.get("tcp.port")
  if registered_port ~= 0 then tcp:remove(registered_port, rallylink) end
  registered_port = rallylink.prefs.port
  if registered_port ~= 0 then tcp:add(registered_port, rallylink) end
end
