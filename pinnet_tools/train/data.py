"""Tool-calling examples, generated: no downloads, the same examples for the
same seed and DATA_VERSION.

A catalogue of realistic tools, each with natural-language phrasings whose
slots are filled from value lists large enough that a model must copy the
values from the query (cities, names, times, numbers). An example offers 1-5
tools in random order, the right one among distractors, or sometimes only
tools that do not fit, where the answer is a short reply without a call. The
prompt is the runtime's chat template with the tools JSON; the completion is
a short "<think>" block, the compact call between the call markers and the
end marker.

Held out for evaluation, never generated for training: every value whose
hash falls in HELD_OUT_SHARE, and the last phrasing of every tool.

A share of training examples (COPY_DRILL_SHARE) fill their slots with
made-up words and random numbers instead of list values: a value never seen
twice cannot be memorised, so these examples teach copying from the query
itself, which is what unseen values need.

    python -m pinnet_tools.train.data --split train --count 3   # a look
"""
from __future__ import annotations

import argparse
import json
import random
import zlib
from dataclasses import dataclass, field
from typing import Iterator, Optional

from ..template import IM_END, THINK_CLOSE, THINK_OPEN, TOOL_CALL_CLOSE, TOOL_CALL_OPEN, build_prompt

DATA_VERSION = 3
HELD_OUT_SHARE = 10  # percent of the values of every list
NO_FIT_SHARE = 0.1   # examples whose offered tools cannot serve the query
COPY_DRILL_SHARE = 0.3  # training examples with made-up values

# ----------------------------------------------------------------------------
# Values

_CITY_LIST = """Lisbon Porto Madrid Barcelona Seville Valencia Paris Lyon Marseille Nice Toulouse
Bordeaux Brussels Antwerp Amsterdam Rotterdam Utrecht Berlin Hamburg Munich Cologne Frankfurt
Stuttgart Leipzig Dresden Vienna Salzburg Graz Zurich Geneva Basel Bern Milan Rome Naples Turin
Florence Venice Bologna Genoa Palermo Athens Thessaloniki Sofia Bucharest Belgrade Zagreb Ljubljana
Budapest Prague Brno Bratislava Warsaw Krakow Gdansk Wroclaw Vilnius Riga Tallinn Helsinki Tampere
Stockholm Gothenburg Malmo Oslo Bergen Copenhagen Aarhus Reykjavik Dublin Cork Belfast London
Manchester Liverpool Leeds Glasgow Edinburgh Cardiff Bristol Oxford Cambridge Istanbul Ankara Izmir
Cairo Alexandria Casablanca Marrakesh Tunis Algiers Lagos Accra Nairobi Mombasa Kampala Kigali
Addis_Ababa Johannesburg Cape_Town Durban Dubai Doha Riyadh Jeddah Muscat Tehran Baghdad Amman Beirut
Karachi Lahore Delhi Mumbai Kolkata Chennai Bangalore Hyderabad Pune Dhaka Kathmandu Colombo Bangkok
Chiang_Mai Hanoi Saigon Phnom_Penh Vientiane Yangon Kuala_Lumpur Penang Singapore Jakarta Surabaya
Bali Manila Cebu Taipei Kaohsiung Hong_Kong Macau Shanghai Beijing Shenzhen Guangzhou Chengdu Wuhan
Xian Seoul Busan Incheon Tokyo Osaka Kyoto Nagoya Sapporo Fukuoka Sydney Melbourne Brisbane Perth
Adelaide Auckland Wellington Christchurch Honolulu Anchorage Vancouver Victoria Calgary Edmonton
Winnipeg Toronto Ottawa Montreal Quebec Halifax Seattle Portland San_Francisco Oakland San_Jose
Los_Angeles San_Diego Las_Vegas Phoenix Tucson Denver Salt_Lake_City Dallas Houston Austin
San_Antonio New_Orleans Memphis Nashville Atlanta Miami Orlando Tampa Charlotte Raleigh Washington
Baltimore Philadelphia Pittsburgh New_York Boston Providence Buffalo Cleveland Detroit Chicago
Milwaukee Minneapolis Kansas_City St_Louis Indianapolis Columbus Cincinnati Mexico_City Guadalajara
Monterrey Cancun Havana Kingston San_Juan Panama_City Bogota Medellin Cali Quito Lima Cusco La_Paz
Santiago Valparaiso Buenos_Aires Cordoba Rosario Montevideo Asuncion Sao_Paulo Rio_de_Janeiro
Brasilia Salvador Recife Fortaleza Manaus Curitiba Porto_Alegre"""
CITIES = [c.replace("_", " ") for c in _CITY_LIST.split()]

_FIRST = """Ana Bruno Carla Diego Elena Felix Greta Hugo Ines Jonas Kira Luca Maya Nico Olga Pablo Quinn
Rosa Sven Tara Umar Vera Wanda Xavier Yara Zoe Aiko Bilal Chen Dara Emeka Farah Goran Hana Ivan Jia
Kofi Lena Mateo Nadia Omar Priya Rafael Sara Tomas Uma Viktor Wei Yusuf Zara Amelia Benjamin Chloe
Daniel Emma Finn Grace Henry Isla James Julia Leo Lucy Mila Noah Olivia Oscar Ruby Samuel Sophie
Theo Victoria William""".split()
_LAST = """Silva Costa Garcia Martin Dubois Muller Schmidt Rossi Bianchi Novak Kowalski Nagy Horvat
Popescu Ivanova Petrov Jensen Hansen Larsen Nielsen Virtanen Murphy Kelly Smith Jones Brown Taylor
Wilson Davies Evans Khan Patel Singh Sharma Kumar Chen Wang Li Zhang Liu Tanaka Suzuki Sato Kim Park
Lee Nguyen Tran Santos Oliveira Pereira Rodriguez Lopez Hernandez Gonzalez Perez Sanchez Ramirez
Cohen Levi Okafor Mensah Diallo Haddad Nasser Yilmaz Demir""".split()
PEOPLE = [f"{a} {b}" for a in _FIRST for b in _LAST[:: 7]] + _FIRST

TIMES = ([f"{h}:{m:02d} {ap}" for h in range(1, 13) for m in (0, 15, 30, 45, 10, 20, 40, 50)
          for ap in ("am", "pm")] + [f"{h:02d}:{m:02d}" for h in range(24) for m in (5, 25, 35, 55)])
DAYS = ["Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday", "today",
        "tomorrow"] + [f"{m} {d}" for m in ("January", "February", "March", "April", "May", "June",
                                           "July", "August", "September", "October", "November",
                                           "December") for d in (1, 2, 3, 5, 8, 12, 14, 17, 20, 21,
                                                                 24, 28, 30)]
MINUTES = [str(n) for n in range(1, 121)]
AMOUNTS = [str(n) for n in range(2, 400, 3)] + [f"{n}.5" for n in range(1, 100, 2)]
PERCENTS = [str(n) for n in range(5, 100, 5)]
TEMPERATURES = [str(n) for n in range(16, 29)]
UNIT_PAIRS = [("kilometers", "miles"), ("miles", "kilometers"), ("pounds", "kilograms"),
              ("kilograms", "pounds"), ("celsius", "fahrenheit"), ("fahrenheit", "celsius"),
              ("liters", "gallons"), ("gallons", "liters"), ("inches", "centimeters"),
              ("centimeters", "inches"), ("feet", "meters"), ("meters", "feet"),
              ("ounces", "grams"), ("grams", "ounces")]
CURRENCIES = ["USD", "EUR", "GBP", "JPY", "CHF", "CAD", "AUD", "CNY", "INR", "BRL", "MXN", "SEK",
              "NOK", "DKK", "PLN", "CZK", "HUF", "TRY", "ZAR", "KRW", "SGD", "HKD", "NZD", "THB"]
TICKERS = ["AAPL", "MSFT", "GOOG", "AMZN", "NVDA", "META", "TSLA", "NFLX", "INTC", "AMD", "IBM",
           "ORCL", "SAP", "ASML", "SONY", "TM", "BABA", "SHOP", "UBER", "ABNB", "SPOT", "PYPL",
           "ADBE", "CRM", "QCOM", "TXN", "MU", "NKE", "KO", "PEP", "MCD", "DIS", "V", "MA", "JPM"]
ROOMS = ["kitchen", "living room", "bedroom", "bathroom", "office", "hallway", "garage",
         "dining room", "basement", "attic", "kids room", "guest room", "porch", "garden"]
LANGUAGES = ["French", "Spanish", "German", "Italian", "Portuguese", "Dutch", "Swedish", "Polish",
             "Japanese", "Korean", "Chinese", "Arabic", "Turkish", "Greek", "Hindi", "Russian"]
PHRASES = ["good morning", "where is the station", "thank you very much", "how much is this",
           "I am lost", "see you tomorrow", "the bill please", "I love this city",
           "can you help me", "what time is it", "nice to meet you", "I need a doctor",
           "one coffee please", "happy birthday", "where is the bathroom", "good night"]
TOPICS = ["electric cars", "the history of Rome", "sourdough bread", "black holes", "jazz piano",
          "marathon training", "house plants", "the French revolution", "solar panels",
          "machine learning", "coral reefs", "ancient Egypt", "chess openings", "climate change",
          "vegan recipes", "the moon landing", "volcanoes", "bird migration", "quantum computing",
          "the Olympics", "origami", "coffee brewing", "deep sea fish", "medieval castles",
          "wind turbines", "dinosaurs", "yoga for beginners", "the Roman empire", "honey bees",
          "renewable energy", "the stock market", "photography tips", "cheap flights",
          "hiking boots", "board games", "the Amazon rainforest", "space telescopes"]
ARTISTS = ["Miles Davis", "Nina Simone", "The Beatles", "Daft Punk", "Adele", "Bob Marley",
           "Ella Fitzgerald", "Radiohead", "Taylor Swift", "Bach", "Mozart", "Beyonce",
           "Fleetwood Mac", "Queen", "ABBA", "Coldplay", "Bjork", "Chopin", "Drake", "Shakira",
           "Kendrick Lamar", "Stevie Wonder", "Norah Jones", "Vivaldi", "Frank Ocean"]
SUBJECTS = ["the budget", "lunch on Friday", "the quarterly report", "my flight", "the contract",
            "the party", "our meeting", "the invoice", "weekend plans", "the new design",
            "project kickoff", "the rent", "holiday photos", "the interview", "the workshop"]
ITEMS = ["milk", "eggs", "bread", "apples", "coffee", "rice", "olive oil", "tomatoes", "cheese",
         "bananas", "pasta", "butter", "yogurt", "onions", "garlic", "chicken", "salmon", "lemons",
         "spinach", "potatoes", "carrots", "honey", "tea", "chocolate", "batteries", "paper towels"]

# Lists whose values a model must copy; each is split into training and
# held-out values. Currency codes and unit names are closed sets, seen whole
# in training.
POOLS = {"city": CITIES, "person": PEOPLE, "time": TIMES, "day": DAYS, "minutes": MINUTES,
         "amount": AMOUNTS, "percent": PERCENTS, "temperature": TEMPERATURES, "ticker": TICKERS, "room": ROOMS, "language": LANGUAGES, "phrase": PHRASES,
         "topic": TOPICS, "artist": ARTISTS, "subject": SUBJECTS, "item": ITEMS}


def held_out(value: str) -> bool:
    """Whether a value is kept for evaluation only (a stable hash, so the
    split does not depend on a seed or on list order)."""
    return zlib.crc32(value.encode("utf-8")) % 100 < HELD_OUT_SHARE


# ----------------------------------------------------------------------------
# Tools


@dataclass
class Tool:
    name: str
    description: str
    properties: dict                 # argument -> JSON schema
    required: list
    phrasings: list                  # templates with {slot} fields
    # argument -> (slot, how the value is written in the arguments)
    arguments: dict = field(default_factory=dict)
    task: str = ""                   # what the user wants, for the reasoning line

    def schema(self) -> dict:
        return {"name": self.name, "description": self.description,
                "parameters": {"type": "object", "properties": self.properties,
                               "required": self.required}}


def _s(description: str, **kw) -> dict:
    return {"type": "string", "description": description, **kw}


def _n(description: str, kind: str = "number") -> dict:
    return {"type": kind, "description": description}


def _tool(name, description, task, properties, required, arguments, phrasings) -> Tool:
    return Tool(name, description, properties, required, phrasings, arguments, task)


# Every argument names the slot its value comes from; "=literal" arguments
# take a fixed value, "unit" style pairs come from one slot.
TOOLS = [
    _tool("get_weather", "Current weather for a city", "check the weather",
          {"city": _s("City name")}, ["city"], {"city": "city"},
          ["What's the weather in {city}?",
           "weather {city}",
           "Is it raining in {city} right now?",
           "How warm is it in {city} today?",
           "Tell me the weather for {city}.",
           "Do I need an umbrella in {city}?",
           "Is it sunny in {city}?",
           "What's it like outside in {city} today?",
           "current weather in {city} please",
           "Tell me how warm it is in {city} right now"]),
    _tool("get_forecast", "Weather forecast for a city on a given day", "see a forecast",
          {"city": _s("City name"), "day": _s("Day, e.g. Monday or March 3")}, ["city", "day"],
          {"city": "city", "day": "day"},
          ["What will the weather be in {city} on {day}?",
           "forecast for {city} {day}",
           "Will it be sunny in {city} on {day}?",
           "Weather outlook for {city}, {day} please",
           "How cold will {city} be on {day}?",
           "Will it rain in {city} on {day}?",
           "Give me the {day} forecast for {city}",
           "What's the forecast in {city} for {day}?",
           "Will it be cold in {city} on {day}?"]),
    _tool("set_timer", "Start a countdown timer", "start a timer",
          {"minutes": _n("Length in minutes", "integer")}, ["minutes"], {"minutes": "#minutes"},
          ["Set a timer for {minutes} minutes",
           "timer {minutes} min",
           "Start a {minutes} minute timer please",
           "Count down {minutes} minutes for me",
           "Remind me in {minutes} minutes",
           "{minutes} minute timer",
           "Can you time {minutes} minutes?",
           "Start a countdown of {minutes} minutes",
           "Please set a {minutes} minute countdown"]),
    _tool("set_alarm", "Set an alarm", "set an alarm",
          {"time": _s("Alarm time"), "label": _s("Optional label")}, ["time"], {"time": "time"},
          ["Wake me up at {time}",
           "Set an alarm for {time}",
           "alarm at {time} please",
           "I need to get up at {time}",
           "Can you set my alarm to {time}?",
           "Alarm for {time} tomorrow",
           "Set my wake-up alarm at {time}",
           "Get me up at {time}",
           "Please wake me at {time}"]),
    _tool("send_email", "Send an e-mail", "send an e-mail",
          {"to": _s("Recipient name"), "subject": _s("Subject line")}, ["to", "subject"],
          {"to": "person", "subject": "subject"},
          ["Email {person} about {subject}",
           "Send {person} an email about {subject}",
           "Write to {person}: subject {subject}",
           "Drop {person} a mail regarding {subject}",
           "Can you email {person} re {subject}?",
           "Mail {person} about {subject}",
           "Compose an email to {person} about {subject}",
           "Send an e-mail to {person} regarding {subject}",
           "Write an email to {person} about {subject}"]),
    _tool("send_message", "Send a text message", "send a message",
          {"to": _s("Recipient name"), "text": _s("Message text")}, ["to", "text"],
          {"to": "person", "text": "phrase"},
          ["Text {person}: {phrase}",
           "Send a message to {person} saying {phrase}",
           "Tell {person} \"{phrase}\"",
           "Message {person} {phrase}",
           "Can you text {person} that {phrase}?",
           "Send {person} a text: {phrase}",
           "SMS {person}: {phrase}",
           "Let {person} know {phrase}",
           "Send a text to {person} saying {phrase}"]),
    _tool("call_contact", "Start a phone call", "make a phone call",
          {"name": _s("Contact name")}, ["name"], {"name": "person"},
          ["Call {person}",
           "Phone {person} please",
           "Ring {person}",
           "Can you dial {person}?",
           "I want to talk to {person}, call them",
           "Give {person} a call",
           "Make a call to {person}",
           "Get {person} on the phone",
           "Please give {person} a ring"]),
    _tool("create_event", "Add an event to the calendar", "add a calendar event",
          {"title": _s("Event title"), "day": _s("Day"), "time": _s("Start time")},
          ["title", "day", "time"], {"title": "subject", "day": "day", "time": "time"},
          ["Add {subject} to my calendar on {day} at {time}",
           "Schedule {subject} for {day} at {time}",
           "Put {subject} in the calendar, {day} {time}",
           "Create an event {subject} on {day} at {time}",
           "Book {subject} {day} at {time} in my calendar",
           "New event: {subject}, {day} at {time}",
           "Calendar: {subject} on {day} at {time}",
           "Pencil in {subject} for {day} at {time}",
           "Put {subject} on my calendar for {day} at {time}"]),
    _tool("list_events", "List the calendar events of a day", "see the calendar",
          {"day": _s("Day")}, ["day"], {"day": "day"},
          ["What's on my calendar {day}?",
           "Show my agenda for {day}",
           "Any meetings on {day}?",
           "calendar {day}",
           "What do I have planned for {day}?",
           "Am I busy on {day}?",
           "List my events for {day}",
           "What's my schedule {day}?",
           "Show me what's on my calendar for {day}"]),
    _tool("convert_units", "Convert a quantity between units", "convert units",
          {"value": _n("Quantity"), "from_unit": _s("Unit to convert from"),
           "to_unit": _s("Unit to convert to")}, ["value", "from_unit", "to_unit"],
          {"value": "#amount", "from_unit": "unit0", "to_unit": "unit1"},
          ["Convert {amount} {unit0} to {unit1}",
           "How many {unit1} is {amount} {unit0}?",
           "{amount} {unit0} in {unit1}",
           "What's {amount} {unit0} in {unit1}?",
           "Change {amount} {unit0} into {unit1} please",
           "{amount} {unit0} to {unit1}",
           "How much is {amount} {unit0} in {unit1}?",
           "Turn {amount} {unit0} into {unit1}",
           "Convert {amount} {unit0} into {unit1} please"]),
    _tool("convert_currency", "Convert money between currencies", "convert currency",
          {"amount": _n("Amount"), "from": _s("Currency code"), "to": _s("Currency code")},
          ["amount", "from", "to"], {"amount": "#amount", "from": "currency", "to": "currency1"},
          ["Convert {amount} {currency} to {currency1}",
           "How much is {amount} {currency} in {currency1}?",
           "{amount} {currency} to {currency1}",
           "Exchange {amount} {currency} into {currency1}",
           "What do I get for {amount} {currency} in {currency1}?",
           "{amount} {currency} in {currency1} please",
           "Change {amount} {currency} to {currency1}",
           "What's {amount} {currency} worth in {currency1}?",
           "Exchange {amount} {currency} to {currency1} please"]),
    _tool("get_stock_price", "Latest price of a stock", "look up a stock price",
          {"ticker": _s("Ticker symbol")}, ["ticker"], {"ticker": "ticker"},
          ["What's {ticker} trading at?",
           "Stock price of {ticker}",
           "How is {ticker} doing today?",
           "quote {ticker}",
           "Check the {ticker} share price",
           "{ticker} stock",
           "Price of {ticker} shares",
           "Where is {ticker} trading today?",
           "What's the share price of {ticker}?"]),
    _tool("web_search", "Search the web", "search the web",
          {"query": _s("Search terms")}, ["query"], {"query": "topic"},
          ["Search the web for {topic}",
           "Look up {topic}",
           "Find articles about {topic}",
           "google {topic}",
           "Can you search for {topic}?",
           "Search for {topic} online",
           "I want to read about {topic}",
           "Find me something on {topic}",
           "Look up articles about {topic} online"]),
    _tool("set_thermostat", "Set the thermostat", "set the heating",
          {"room": _s("Room"), "celsius": _n("Target temperature")}, ["room", "celsius"],
          {"room": "room", "celsius": "#temperature"},
          ["Set the {room} to {temperature} degrees",
           "Heat the {room} to {temperature}",
           "Make the {room} {temperature} degrees",
           "thermostat {room} {temperature}",
           "I want the {room} at {temperature} degrees",
           "{room} temperature {temperature}",
           "Warm the {room} up to {temperature} degrees",
           "Set the thermostat in the {room} to {temperature}",
           "Make it {temperature} degrees in the {room}"]),
    _tool("lights_on", "Turn the lights on in a room", "turn on the lights",
          {"room": _s("Room"), "brightness": _n("Brightness percent", "integer")},
          ["room", "brightness"], {"room": "room", "brightness": "#percent"},
          ["Turn on the {room} lights at {percent} percent",
           "Lights in the {room} to {percent}%",
           "Set the {room} lights to {percent} percent",
           "{room} lights {percent}%",
           "Switch on the {room} light, {percent} percent brightness",
           "Put the {room} lights on at {percent}%",
           "{percent} percent lights in the {room}",
           "Turn the {room} light on, {percent}%",
           "Switch the {room} lights on at {percent} percent"]),
    _tool("lock_door", "Lock a door", "lock a door",
          {"door": _s("Which door", enum=["front", "back", "garage", "side"])}, ["door"],
          {"door": "=front"},
          ["Lock the front door",
           "Is the front door locked? Lock it",
           "lock front door",
           "Please lock up the front door",
           "Secure the front door",
           "Lock up the front",
           "Make sure the front door is locked",
           "Can you lock the front door?"]),
    _tool("play_music", "Play music by an artist", "play music",
          {"artist": _s("Artist name")}, ["artist"], {"artist": "artist"},
          ["Play some {artist}",
           "Put on {artist}",
           "I want to hear {artist}",
           "play {artist}",
           "Start a {artist} playlist",
           "Play music by {artist}",
           "Some {artist} please",
           "Can you put on some {artist}?",
           "I want to hear some music by {artist}"]),
    _tool("translate", "Translate text into a language", "translate text",
          {"text": _s("Text to translate"), "language": _s("Target language")},
          ["text", "language"], {"text": "phrase", "language": "language"},
          ["Translate \"{phrase}\" into {language}",
           "How do you say {phrase} in {language}?",
           "{phrase} in {language}",
           "What's {phrase} in {language}?",
           "Say {phrase} in {language} please",
           "Translate {phrase} to {language}",
           "What is \"{phrase}\" in {language}?",
           "{language} for \"{phrase}\"",
           "How would I say \"{phrase}\" in {language}?"]),
    _tool("add_to_list", "Add an item to the shopping list", "add to the shopping list",
          {"item": _s("Item")}, ["item"], {"item": "item"},
          ["Add {item} to my shopping list",
           "Put {item} on the list",
           "We need {item}",
           "shopping list: {item}",
           "Don't let me forget to buy {item}",
           "Add {item} to the list",
           "We're out of {item}",
           "I need to buy {item}",
           "Put {item} on my shopping list"]),
    _tool("find_restaurant", "Find restaurants in a city", "find a restaurant",
          {"city": _s("City"), "cuisine": _s("Cuisine", enum=["italian", "japanese", "indian",
                                                             "mexican", "thai", "any"])},
          ["city", "cuisine"], {"city": "city", "cuisine": "=any"},
          ["Find a place to eat in {city}",
           "Restaurants in {city}?",
           "Where can I have dinner in {city}?",
           "Good food near {city}",
           "Recommend a restaurant in {city}",
           "Where should I eat in {city}?",
           "Find me a restaurant in {city}",
           "Best places for lunch in {city}",
           "Recommend a place to eat in {city}"]),
    _tool("book_taxi", "Book a taxi", "book a taxi",
          {"destination": _s("Where to"), "time": _s("Pickup time")}, ["destination", "time"],
          {"destination": "city", "time": "time"},
          ["Get me a taxi to {city} at {time}",
           "Book a cab to {city} for {time}",
           "I need a ride to {city} at {time}",
           "taxi {city} {time}",
           "Order a car to {city}, pickup {time}",
           "Call a taxi to {city} for {time}",
           "Cab to {city} at {time} please",
           "Book me a ride to {city}, pickup at {time}",
           "I need a taxi to {city} for {time}"]),
    _tool("get_time", "Local time in a city", "know the time somewhere",
          {"city": _s("City")}, ["city"], {"city": "city"},
          ["What time is it in {city}?",
           "Local time in {city}",
           "time in {city}",
           "Is it late in {city} now?",
           "What's the time over in {city}?",
           "Current time in {city}",
           "What's the local time in {city}?",
           "Tell me the time in {city}",
           "What time is it now in {city}?"]),
    _tool("calculate_tip", "Tip for a bill", "work out a tip",
          {"bill": _n("Bill amount"), "percent": _n("Tip percent", "integer")}, ["bill", "percent"],
          {"bill": "#amount", "percent": "#percent"},
          ["What's a {percent}% tip on {amount}?",
           "Tip {percent} percent on a {amount} bill",
           "Calculate {percent} percent of {amount} as a tip",
           "{percent}% tip for {amount}",
           "How much should I tip on {amount} at {percent} percent?",
           "Work out a {percent}% tip on {amount}",
           "Tip on {amount} at {percent}%",
           "What should I leave on a {amount} bill at {percent} percent?",
           "Calculate a {percent} percent tip on a {amount} bill"]),
    _tool("set_reminder", "Remind the user of something at a time", "set a reminder",
          {"text": _s("What to remember"), "time": _s("When")}, ["text", "time"],
          {"text": "subject", "time": "time"},
          ["Remind me about {subject} at {time}",
           "At {time} remind me of {subject}",
           "Set a reminder for {subject} at {time}",
           "reminder {subject} {time}",
           "Don't let me forget {subject} at {time}",
           "Remind me at {time} about {subject}",
           "Reminder at {time}: {subject}",
           "Ping me about {subject} at {time}",
           "Set a reminder at {time} about {subject}"]),
]
TOOL_BY_NAME = {t.name: t for t in TOOLS}


# ----------------------------------------------------------------------------
# Examples


@dataclass
class Example:
    prompt: str
    completion: str
    tools: list                  # the offered tool schemas, in prompt order
    call: Optional[dict]         # {"name", "arguments"}, or None for a reply
    query: str
    phrasing: str                # the template the query was written from


_ONSETS = ("b c d f g h j k l m n p r s t v w z br ch dr fl gr kr pl sh sk st tr th "
           "v z").split() + [""]
_VOWELS = "a e i o u a e i o ai ea ou ie y".split()
_CODAS = ["", "", "", "n", "r", "s", "l", "k", "m", "nd", "st", "x"]
# slot -> (words low, words high, capitalised)
_MADE_UP_WORDS = {"city": (1, 2, True), "person": (1, 2, True), "artist": (1, 3, True),
                  "language": (1, 1, True), "room": (1, 2, False), "topic": (1, 4, False),
                  "subject": (1, 4, False), "item": (1, 2, False), "phrase": (2, 5, False)}


def _made_up_word(rng: random.Random) -> str:
    if rng.random() < 0.2:  # plain letters, no syllable structure to lean on
        return "".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
    return "".join(rng.choice(_ONSETS) + rng.choice(_VOWELS) + rng.choice(_CODAS)
                   for _ in range(rng.randint(1, 3)))


def _made_up(rng: random.Random, slot: str) -> str:
    """A value for `slot` that no list holds: made-up words, random numbers."""
    if slot in _MADE_UP_WORDS:
        low, high, cap = _MADE_UP_WORDS[slot]
        words = [_made_up_word(rng) for _ in range(rng.randint(low, high))]
        return " ".join(w.capitalize() if cap else w for w in words)
    if slot == "ticker":
        return "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZ") for _ in range(rng.randint(1, 5)))
    if slot == "time":
        if rng.random() < 0.5:
            return f"{rng.randint(1, 12)}:{rng.randint(0, 59):02d} {rng.choice(('am', 'pm'))}"
        return f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}"
    if slot == "amount":
        n = rng.randint(1, 9999)
        return f"{n}.{rng.randint(1, 9)}" if rng.random() < 0.3 else str(n)
    if slot in ("minutes", "percent", "temperature"):
        return str(rng.randint(*{"minutes": (1, 999), "percent": (1, 100),
                                 "temperature": (5, 35)}[slot]))
    return _pick(rng, slot, False)  # days: a closed set, every one seen


def _pick(rng: random.Random, slot: str, held: bool, drill: bool = False) -> str:
    if drill:
        for _ in range(20):
            value = _made_up(rng, slot)
            if not held_out(value):
                return value
    pool = POOLS[slot]
    values = [v for v in pool if held_out(v) == held]
    return rng.choice(values)


def _fill(rng: random.Random, tool: Tool, held: bool, held_phrasing: bool,
          drill: bool = False) -> tuple[str, str, dict]:
    phrasings = tool.phrasings[-1:] if held_phrasing else tool.phrasings[:-1]
    template = rng.choice(phrasings)
    values = {}
    if "{unit0}" in template:
        values["unit0"], values["unit1"] = rng.choice(UNIT_PAIRS)
    for slot in ("city", "person", "time", "day", "minutes", "amount", "percent", "temperature",
                 "ticker", "room", "language", "phrase", "topic", "artist", "subject", "item"):
        if "{" + slot + "}" in template:
            values[slot] = _pick(rng, slot, held, drill)
    if "{currency}" in template:
        values["currency"], values["currency1"] = rng.sample(CURRENCIES, 2)
    arguments = {}
    for arg, source in tool.arguments.items():
        if source.startswith("="):
            arguments[arg] = source[1:]
        elif source.startswith("#"):
            text = values[source[1:]]
            arguments[arg] = float(text) if "." in text else int(text)
        else:
            arguments[arg] = values[source]
    return template, _wrap(rng, template, template.format(**values)), arguments


# Openers and closers that any phrasing may take, in training and held out.
PREFIXES = ("Hey, ", "Hi, ", "OK, ", "Quick question: ", "Assistant, ")
SUFFIXES = (" please", " thanks", ", thank you")


def _wrap(rng: random.Random, template: str, query: str) -> str:
    if rng.random() < 0.25:
        # lower-case a leading word of the template, never a value or "I"
        lower = template[0].isalpha() and template[1:2].islower()
        query = rng.choice(PREFIXES) + (query[0].lower() if lower else query[0]) + query[1:]
    if rng.random() < 0.2 and not query.endswith(("?", ".", "please")):
        query += rng.choice(SUFFIXES)
    return query


def compact(obj) -> str:
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False)


def completion_for(tool: Optional[Tool], arguments: Optional[dict], wanted: Tool) -> str:
    if tool is None:
        return (f"{THINK_OPEN}\nThe user wants to {wanted.task}, but no offered tool can do "
                f"that.\n{THINK_CLOSE}\nSorry, I can't {wanted.task} with the tools I have."
                f"{IM_END}")
    call = compact({"name": tool.name, "arguments": arguments})
    return (f"{THINK_OPEN}\nThe user wants to {tool.task}: {tool.name} fits.\n{THINK_CLOSE}\n"
            f"{TOOL_CALL_OPEN}\n{call}\n{TOOL_CALL_CLOSE}{IM_END}")


def example(rng: random.Random, held: bool = False, held_phrasing: Optional[bool] = None) -> Example:
    """One example; `held` draws from the held-out values, `held_phrasing`
    (default: `held`) from the held-out phrasings."""
    wanted = rng.choice(TOOLS)
    drill = not held and rng.random() < COPY_DRILL_SHARE
    phrasing, query, arguments = _fill(rng, wanted, held,
                                       held if held_phrasing is None else held_phrasing, drill)
    others = [t for t in TOOLS if t is not wanted]
    fits = rng.random() >= NO_FIT_SHARE
    count = rng.randint(1, 5)
    offered = rng.sample(others, count - 1 if fits else count)
    if fits:
        offered.insert(rng.randrange(count), wanted)
    schemas = [t.schema() for t in offered]
    prompt = build_prompt(query, json.dumps(schemas))
    call = {"name": wanted.name, "arguments": arguments} if fits else None
    text = completion_for(wanted if fits else None, arguments if fits else None, wanted)
    return Example(prompt, text, schemas, call, query, phrasing)


SPLITS = ("train", "held_out", "held_out_values")


def examples(count: int, seed: int = 0, split: str = "train") -> Iterator[Example]:
    """`count` examples of a split, the same for the same seed and
    DATA_VERSION: "train", "held_out" (held-out values in held-out
    phrasings) or "held_out_values" (held-out values in training phrasings)."""
    if split not in SPLITS:
        raise ValueError(f"unknown split {split!r}")
    rng = random.Random(f"{DATA_VERSION}:{split}:{seed}")
    for _ in range(count):
        yield example(rng, held=split != "train", held_phrasing=split == "held_out")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python -m pinnet_tools.train.data",
                                 description="Print generated tool-calling examples as JSON lines.")
    ap.add_argument("--split", choices=SPLITS, default="train")
    ap.add_argument("--count", type=int, default=5)
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args(argv)
    for ex in examples(args.count, args.seed, args.split):
        print(json.dumps({"prompt": ex.prompt, "completion": ex.completion, "call": ex.call}))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
