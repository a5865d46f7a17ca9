#!/usr/bin/env python3
"""Writes demo_home.json: a family house with floors, rooms, devices, scripts, events, media
and links, about 300 objects. Deterministic: the same seed gives the same file.

    python3 sim/make_demo_home.py > sim/demo_home.json
"""
import json
import random

rng = random.Random(20261210)
used_ids = set()
objects = []


def new_id():
    while True:
        i = rng.randint(10000, 59999)
        if i not in used_ids:
            used_ids.add(i)
            return i


def guid():
    h = "".join(rng.choice("0123456789ABCDEF") for _ in range(32))
    return "{%s-%s-%s-%s-%s}" % (h[:8], h[8:12], h[12:16], h[16:20], h[20:])


def add(parent, kind, name, position=None, **extra):
    obj = {"id": new_id(), "parent": parent, "type": kind, "name": name}
    obj["position"] = position if position is not None else rng.choice([0, 0, 1, 2, 3, 5, 10, 10, 20, -1])
    obj.update(extra)
    objects.append(obj)
    return obj["id"]


def times():
    updated = -rng.randint(5, 7200)
    return {"changed": updated - rng.choice([0, 0, 60, 3600, 86400 * 3]), "updated": updated}


def variable(parent, name, vtype, value, profile="", position=None, **extra):
    data = {"type": vtype, "value": value, "profile": profile}
    data.update(times())
    for key in ("customProfile", "action", "customAction", "locked"):
        if key in extra:
            data[key] = extra.pop(key)
    return add(parent, "variable", name, position, variable=data, **extra)


modules = {}


def module(name, mtype):
    if name not in modules:
        modules[name] = guid()
    return {"moduleID": modules[name], "moduleName": name, "moduleType": mtype}


def instance(parent, name, module_name, mtype, position=None, status=102, connection=0, **extra):
    data = module(module_name, mtype)
    data.update({"status": status, "connectionID": connection,
                 "changed": -rng.randint(86400, 86400 * 90)})
    for key in ("supportsSearching", "isSearching"):
        if key in extra:
            data[key] = extra.pop(key)
    return add(parent, "instance", name, position, instance=data, **extra)


def script(parent, name, output="", position=None, **extra):
    data = {"output": output, "executed": -rng.randint(60, 86400 * 2)}
    for key in ("broken", "failsToStart", "file", "executed"):
        if key in extra:
            data[key] = extra.pop(key)
    return add(parent, "script", name, position, script=data, **extra)


ROOT = 0

# Kernel instances: core modules, I/O, splitters, configurators and a discovery module.
core = add(ROOT, "category", "Kern Instanzen", 90, icon="Gear", hidden=True)
for name in ["Archive Control", "Event Control", "Location Control", "Notification Control",
             "Utility Control", "WebFront Configurator"]:
    instance(core, name, name, 0, position=rng.choice([0, 1, 2]))
io_serial = instance(core, "Serial Port COM3", "Serial Port", 1, status=104)
io_socket = instance(core, "Client Socket CCU", "Client Socket", 1, summary="192.168.1.20:2001")
hm_splitter = instance(core, "HomeMatic Socket", "HomeMatic Socket", 2, connection=io_socket,
                       summary="CCU3")
knx_splitter = instance(core, "KNX Gateway", "KNX/EIB Gateway", 2, connection=io_serial, status=201,
                        summary="Verbindung getrennt")
instance(core, "HomeMatic Konfigurator", "HomeMatic Configurator", 4, connection=hm_splitter,
         supportsSearching=True)
instance(core, "KNX Konfigurator", "KNX Configurator", 4, connection=knx_splitter)
instance(core, "HomeMatic Discovery", "HomeMatic Discovery", 5, supportsSearching=True,
         isSearching=True)

floors = [
    ("Erdgeschoss", 1, ["Küche", "Wohnzimmer", "Esszimmer", "Gäste WC", "Flur"]),
    ("Obergeschoss", 2, ["Schlafzimmer", "Kinderzimmer", "Büro", "Bad"]),
    ("Keller", 3, ["Heizungsraum", "Waschküche", "Hobbyraum"]),
]
room_ids = {}
for floor, pos, rooms in floors:
    floor_id = add(ROOT, "category", floor, pos, icon="Stairs")
    for room in rooms:
        room_ids[room] = add(floor_id, "category", room, icon="Door",
                             info="Raum im " + floor if floor != "Keller" else "")

temperatures = {}
for room, rid in room_ids.items():
    sensor = instance(rid, "Raumthermostat " + room, "HomeMatic Device", 3,
                      connection=hm_splitter, summary="HM-TC-IT-WM-W-EU")
    temperatures[room] = variable(sensor, "Temperatur", "float",
                                  round(rng.uniform(17.0, 23.5), 1), "~Temperature", position=1,
                                  icon="Temperature")
    variable(sensor, "Luftfeuchtigkeit", "float", round(rng.uniform(35, 65), 1), "~Humidity.F",
             position=2)
    variable(sensor, "Solltemperatur", "float", rng.choice([19.0, 20.5, 21.0, 22.0]),
             "~Temperature.Room", position=3, action=sensor)
    light = instance(rid, "Deckenlicht", "HomeMatic Device", 3, connection=hm_splitter,
                     summary="HM-LC-Sw1-FM")
    variable(light, "Status", "boolean", rng.choice([True, False]), "~Switch", action=light)
    if room in ("Wohnzimmer", "Schlafzimmer", "Büro", "Esszimmer"):
        dimmer = instance(rid, "Stehlampe Dimmer", "KNX EIS Group", 3, connection=knx_splitter,
                          status=rng.choice([102, 102, 104]))
        variable(dimmer, "Helligkeit", "integer", rng.choice([0, 35, 80, 100]), "~Intensity.100",
                 action=dimmer)
    variable(rid, "Fenster offen", "boolean", rng.choice([False, False, True]), "~Window",
             icon="Window")

# A few rooms with particular contents.
kitchen = room_ids["Küche"]
variable(kitchen, "Kühlschrank Temperatur", "float", 20.400000000000002, "~Temperature")
variable(kitchen, "Spülmaschine Restlaufzeit", "integer", 47, "~UnixTimestampTime",
         customProfile="Minuten")
variable(kitchen, "Einkaufsliste", "string", "Milch, Käse & Brot", "~TextBox")
variable(kitchen, "Notiz", "string", "", "")
hall = room_ids["Flur"]
instance(hall, "Licht", "Dummy Module", 3, summary="Flurlicht (Instanz)")
variable(hall, "Licht", "boolean", True, "~Switch")
variable(hall, "Bewegungsmelder letzte Auslösung", "integer", 1796880000, "~UnixTimestamp",
         readOnly=True)
variable(hall, "Tür/Fenster Kontakt", "boolean", False, "~Window.HM")
office = room_ids["Büro"]
variable(office, "Stromverbrauch PC", "float", 143.75, "~Watt.3680")
variable(office, "Netzwerkstatus", "string", "Verbunden mit \"Heimnetz\"", "")
variable(office, "Zähler Druckseiten", "integer", -2147483648 + 5, "")
variable(office, "  Name mit Leerzeichen  ", "integer", 0, "")
heating = room_ids["Heizungsraum"]
burner = instance(heating, "Heizung Brenner", "Modbus Device", 3, status=202,
                  summary="Modbus-Adresse 3")
variable(burner, "Vorlauftemperatur", "float", 58.3, "~Temperature")
variable(burner, "Rücklauftemperatur", "float", 41.0, "~Temperature")
variable(burner, "Brennerstarts", "integer", 18734, "")
variable(burner, "Störung", "boolean", False, "~Alert", locked=True)
variable(burner, "Betriebsart", "string", "Automatik – Tagbetrieb", "")

# Outdoors: garden, terrace, garage and the weather station.
outside = add(ROOT, "category", "Außen", 4, icon="Tree")
weather = add(outside, "category", "Wetterstation", 0)
station = instance(weather, "Wetterstation Dach", "HomeMatic Device", 3, connection=hm_splitter,
                   summary="HM-WDS100-C6-O")
outdoor_temp = variable(station, "Außentemperatur", "float", -3.5, "~Temperature", position=1)
variable(station, "Windgeschwindigkeit", "float", 12.0, "~WindSpeed.kmh", position=2)
variable(station, "Regen heute", "float", 0.0, "~Rainfall", position=3)
variable(station, "Wetterlage", "string", "Leicht bewölkt, Schneefall möglich", "", position=4)
variable(station, "Helligkeit", "integer", 87, "", position=5)
variable(weather, "Außentemperatur gefühlt (Windchill)", "float", -7.25, "~Temperature")
places = {}
for place in ["Garten", "Terrasse", "Garage"]:
    pid = places[place] = add(outside, "category", place, rng.choice([1, 2, 2, 3]))
    act = instance(pid, "Beleuchtung " + place, "HomeMatic Device", 3, connection=hm_splitter)
    variable(act, "Status", "boolean", rng.choice([True, False]), "~Switch", action=act)
garage = places["Garage"]
variable(garage, "Garagentor", "integer", 2, "~ShutterMoveStop", action=0)
add(garage, "media", "Kamera Einfahrt", 1, icon="Camera")

# Scripts, some with events under them.
scripts = add(ROOT, "category", "Skripte", 5, icon="Script")
weather_script = script(
    scripts, "Wetterbericht",
    "<h3>Wetter in M&uuml;nchen</h3><p>Heute: 12&deg;C, leicht bew&ouml;lkt, sp&auml;ter Regen<br>"
    "Morgen: 15&nbsp;&deg;C &amp; sonnig</p>", 1)
add(weather_script, "event", "Täglich 06:30", 0)
add(weather_script, "event", "Bei Änderung Außentemperatur", 1)
overview = script(
    scripts, "Status Übersicht",
    "<table><tr><td>K&uuml;che</td><td>21,5&nbsp;&deg;C</td></tr>"
    "<tr><td>B&uuml;ro</td><td>Licht an</td></tr></table><br/>Fenster: 2 offen<br />"
    "T&uuml;ren &amp; Tore: geschlossen &lt;OK&gt;", 2)
add(overview, "event", "Alle 5 Minuten", 0)
script(scripts, "Alle Lichter aus", "", 3)
script(scripts, "Guten Morgen", "Guten Morgen!<br>Kaffee läuft, Rollläden fahren hoch.", 3)
script(scripts, "Fehlerhaftes Skript",
       "<br />\n<b>Parse error</b>:  syntax error, unexpected '}' in "
       "<b>C:\\IP-Symcon\\scripts\\Fehler.ips.php</b> on line <b>7</b><br />\n", 4,
       broken=True, file="Fehler.ips.php")
script(scripts, "Startet nicht", "", 4, failsToStart=True, disabled=True)
script(scripts, "Nie ausgeführt", "nichts", 6, executed=0)
script(scripts, "Urlaubsmodus", "Urlaubsmodus ist <b>aus</b>", 0, file="Urlaub/Modus.ips.php")
alarm = script(scripts, "Alarmanlage scharf", "Alarmanlage ist jetzt <i>scharf</i>.", 5)
add(alarm, "event", "Wochentags 08:00", 0, disabled=True)
add(alarm, "event", "Bei Abwesenheit", 1)

# Media.
media = add(ROOT, "category", "Medien", 6, icon="Image")
add(media, "media", "Grundriss EG", 1)
add(media, "media", "Grundriss OG", 1)
add(media, "media", "Türklingel Ton", 2)
add(media, "media", "Hinweis Dokument", 3)

# Favourites: links to a category, a variable, a script and an instance.
favourites = add(ROOT, "category", "Favoriten", 0, icon="Star")
add(favourites, "link", "Wohnzimmer", 1, link={"target": room_ids["Wohnzimmer"]})
add(favourites, "link", "Außentemperatur", 2, link={"target": outdoor_temp})
add(favourites, "link", "Wetterbericht", 3, link={"target": weather_script})
add(favourites, "link", "Wetterstation", 4, link={"target": station})
add(room_ids["Wohnzimmer"], "link", "Temperatur Küche", 9, link={"target": temperatures["Küche"]})

# The big category: daily meter readings, more than a hundred children.
archive = add(ROOT, "category", "Energie Tageswerte", 7, icon="Electricity")
for day in range(1, 121):
    month, mday = (8, day) if day <= 31 else (9, day - 31) if day <= 61 else \
        (10, day - 61) if day <= 92 else (11, day - 92)
    variable(archive, "Verbrauch %02d.%02d." % (mday, month), "float",
             round(rng.uniform(6.0, 19.0), 3), "~Electricity", position=rng.choice([0, 0, 1, 2]))

json.dump({"objects": objects}, __import__("sys").stdout, ensure_ascii=False, indent=1)
print()
