-- Builds an Ardour session that plays a WAV file through the plug-in:
-- one stereo track holding the file as a region, the plug-in on it with a
-- factory program (VST 2) or preset (LV2) and a set Flanger Depth, the session range over the file.
-- Then reloads it and prints what the host shows of the plug-in.
-- Reads its settings from the environment:
--   HC_DIR HC_NAME     session folder and name (the folder must not exist)
--   HC_INPUT           absolute path of the stereo WAV to play
--   HC_FRAMES HC_RATE  its length in frames and its rate
--   HC_TYPE            LXVST (the default), LV2 or VST3
--   HC_PLUGIN          absolute path of the VST 2 .so, the LV2 plug-in's URI or
--                      the VST 3 class ID (32 hex digits)
--   HC_PROGRAM         factory program number (VST 2, VST 3)
--   HC_PRESET          preset label (LV2)
--   HC_DEPTH           Flanger Depth, 0..1
--   HC_START           where the region and the session range start, in
--                      frames from the timeline's start (default 0)

local function need(key)
  local v = os.getenv(key)
  if v == nil or v == "" then error("missing environment variable " .. key) end
  return v
end

local dir, name = need("HC_DIR"), need("HC_NAME")
local input, plugin_path = need("HC_INPUT"), need("HC_PLUGIN")
local frames, rate = tonumber(need("HC_FRAMES")), tonumber(need("HC_RATE"))
local depth = tonumber(need("HC_DEPTH"))
local start = tonumber(os.getenv("HC_START") or "0")
local lv2 = os.getenv("HC_TYPE") == "LV2"
local vst3 = os.getenv("HC_TYPE") == "VST3"
local ptype = lv2 and ARDOUR.PluginType.LV2 or vst3 and ARDOUR.PluginType.VST3 or ARDOUR.PluginType.LXVST
-- A VST 3 plug-in gets program changes and values only through its process
-- calls: the engine runs a while after each change.
local function settle()
  if vst3 then ARDOUR.LuaAPI.usleep(500000) end
end
local program = (not lv2) and tonumber(need("HC_PROGRAM")) or nil
local preset_label = lv2 and need("HC_PRESET") or nil

-- Parameter ids of the control inputs, in order: the VST 2 parameters
-- themselves, the LV2 ports after the four audio ports.
local function control_inputs(plug)
  local ids = {}
  for j = 0, plug:parameter_count() - 1 do
    if plug:parameter_is_control(j) and plug:parameter_is_input(j) then ids[#ids + 1] = j end
  end
  return ids
end

-- Ardour's time unit: 282240000 per second.
local superclock = math.floor(frames * (282240000 // rate))
local start_clock = math.floor(start * (282240000 // rate))

---------------------------------------------------------------------------
-- 1. A session with the track and the plug-in.
local s = create_session(dir, name, rate)
assert(s, "cannot create the session")
s = nil

local info = nil
for p in ARDOUR.LuaAPI.list_plugins():iter() do
  if p.type == ptype and ((lv2 or vst3) and p.unique_id == plugin_path or
      not (lv2 or vst3) and p.path == plugin_path) then
    info = p
  end
end
assert(info, "the plug-in " .. plugin_path .. " is not known to Ardour; " ..
  (lv2 and "put its bundle on LV2_PATH" or "scan it first"))
print("found " .. info.name .. " " .. info.unique_id)

local tracks = Session:new_audio_track(2, 2, nil, 1, "flanger",
  ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true)
assert(tracks:size() == 1, "cannot add the track")
local track = tracks:front()

local proc = ARDOUR.LuaAPI.new_plugin(Session, info.unique_id, ptype, "")
assert(not proc:isnil(), "cannot instantiate the plug-in")
assert(track:add_processor_by_index(proc, 0, nil, true) == 0, "cannot insert the plug-in")

local plug = proc:to_insert():plugin(0)
local wanted = nil
if vst3 then
  -- Ardour lists a VST 3 plug-in's programs from the instance only.
  local pset = plug:preset_by_uri(string.format("VST3-P:%s:%04d", info.unique_id, program))
  if pset and pset.valid then wanted = pset end
end
for pset in info:get_presets():iter() do
  if lv2 and pset.label == preset_label or
      not lv2 and not vst3 and pset.uri == string.format("VST:%s:%04d", info.unique_id, program) then
    wanted = pset
  end
end
local what = lv2 and ("preset " .. preset_label) or ("factory program " .. program)
assert(wanted, what .. " is not offered")
assert(plug:load_preset(wanted), "cannot load " .. what)
settle()
local depth_id = control_inputs(plug)[1]
-- Flanger Depth is set to its opposite end, then automated to HC_DEPTH
-- over the whole range in Play mode: the render shows HC_DEPTH only if the
-- automation drove the parameter.
assert(ARDOUR.LuaAPI.set_processor_param(proc, 0, 1 - depth), "cannot set Flanger Depth")
settle()
local al = ARDOUR.LuaAPI.plugin_automation(proc, 0)
assert(not al:isnil(), "Flanger Depth offers no automation list")
al:list():add(Temporal.timepos_t(start), depth, false, false)
al:list():add(Temporal.timepos_t(start + frames), depth, false, false)
local depth_control = proc:to_automatable():automation_control(
  Evoral.Parameter(ARDOUR.AutomationType.PluginAutomation, 0, depth_id), false)
depth_control:set_automation_state(ARDOUR.AutoState.Play)

-- Auto-connect runs later in another thread: wire the track to the master
-- bus now, or the export is silent.
local out, master_in = track:output(), Session:master_out():input()
out:disconnect_all(nil)
for c = 0, 1 do
  assert(out:connect(out:audio(c), master_in:audio(c):name(), nil) == 0, "cannot connect the track")
end

Session:save_state("", false, false, false, false, false)
local playlist_id = track:playlist():to_stateful():id():to_s()
plug, proc, track, tracks, info, wanted, out, master_in, al, depth_control = nil
collectgarbage()
close_session()

---------------------------------------------------------------------------
-- 2. The file as two sources (one per channel), a region on the track's
-- playlist and the session range, written into the saved state.
local file = dir .. "/" .. name .. ".ardour"
local f = assert(io.open(file, "r"))
local xml = f:read("a")
f:close()

local len = string.format("a%d@a%d", superclock, start_clock)
local sources = string.format(
  '<Sources>\n' ..
  '    <Source name="%s" type="audio" flags="" id="900001" captured-for="" take-id="" channel="0" origin="" gain="1"/>\n' ..
  '    <Source name="%s" type="audio" flags="" id="900002" captured-for="" take-id="" channel="1" origin="" gain="1"/>\n' ..
  '  </Sources>', input, input)
local region = string.format(
  '<Region name="input" muted="0" opaque="1" locked="0" video-locked="0" automatic="0" whole-file="0" ' ..
  'import="0" external="0" sync-marked="0" left-of-split="0" right-of-split="0" hidden="0" position-locked="0" ' ..
  'valid-transients="0" start="a0" length="%s" position="a%d" sync-position="a0" ancestral-start="a0" ' ..
  'ancestral-length="%s" stretch="1" shift="1" layering-index="0" tags="" id="900003" type="audio" ' ..
  'first-edit="nothing" source-0="900001" source-1="900002" master-source-0="900001" master-source-1="900002" ' ..
  'channels="2" envelope-active="0" default-fade-in="0" default-fade-out="0" fade-in-active="0" ' ..
  'fade-out-active="0" scale-amplitude="1"/>', len, start_clock, len)
local range = string.format(
  '<Locations>\n    <Location id="900004" name="session" start="a%d" end="a%d" flags="IsSessionRange" ' ..
  'locked="0" timestamp="0" cue="0"/>\n  </Locations>', start_clock, start_clock + superclock)

local n
xml, n = xml:gsub("<Sources/>", sources, 1)
assert(n == 1, "no empty Sources element in " .. file)
xml, n = xml:gsub("<Locations/>", range, 1)
assert(n == 1, "no empty Locations element in " .. file)
xml, n = xml:gsub('(<Playlist id="' .. playlist_id .. '"[^>]-)/>', "%1>\n      " .. region .. "\n    </Playlist>", 1)
assert(n == 1, "no empty playlist " .. playlist_id .. " in " .. file)
f = assert(io.open(file, "w"))
f:write(xml)
f:close()

---------------------------------------------------------------------------
-- 3. Reload and report what the host shows.
s = load_session(dir, name)
assert(s, "cannot reload the session")
s = nil
local t = Session:route_by_name("flanger")
assert(not t:isnil(), "the track is gone after reloading")
local pl = t:to_track():playlist()
print(string.format("region count %d, session range %d frames", pl:region_list():size(),
  Session:current_end_sample() - Session:current_start_sample()))
local pi = t:nth_plugin(0):to_insert()
local p = pi:plugin(0)
print("plug-in " .. p:name() .. " by " .. p:maker() .. ", preset " .. p:last_preset().label)
-- Ardour accepts an automation mode only for parameters the plug-in
-- declares automatable: each one is switched to Play and read back.
local auto = pi:to_automatable()
for n, i in ipairs(control_inputs(p)) do
  local ac = auto:automation_control(Evoral.Parameter(ARDOUR.AutomationType.PluginAutomation, 0, i), false)
  if n ~= 1 then ac:set_automation_state(ARDOUR.AutoState.Play) end
  print(string.format("parameter %2d %-16s automation %s", n - 1, p:parameter_label(i),
    ac:automation_state() == ARDOUR.AutoState.Play and "play" or "off"))
  if n ~= 1 then ac:set_automation_state(ARDOUR.AutoState.Off) end
  ac = nil
end
for pset in p:get_info():get_presets():iter() do print("program " .. pset.uri .. " " .. pset.label) end
if vst3 then
  for i = 0, 127 do
    local pset = p:preset_by_uri(string.format("VST3-P:%s:%04d", p:unique_id(), i))
    if pset and pset.valid then print("program " .. pset.uri .. " " .. pset.label) end
  end
end
t, pl, pi, p, auto = nil
collectgarbage()
close_session()
print("session ready")
