// Tool lists written the way callers write them: pretty-printed with spaces
// after colons or compact, schema wrappers, nested parameter objects, enums,
// arrays of objects, camelCase, kebab and spaced names, escapes and
// non-ASCII text, `required` lists, parameters called "name" or
// "arguments", tools without parameters. Each comes with the tools the
// tolerant scan must find, as "snake(param,param);snake2()".
#pragma once

namespace pinnet::engine::testing {

struct RealisticToolList {
  const char* label;
  const char* json;
  const char* expected;
};

inline constexpr RealisticToolList kRealisticToolLists[] = {
    {"weather_pretty", R"([
  {
    "name": "get_weather",
    "description": "Get the current weather for a location",
    "parameters": {
      "type": "object",
      "properties": {
        "location": {"type": "string", "description": "City and country, e.g. Paris, France"},
        "unit": {"type": "string", "enum": ["celsius", "fahrenheit"]}
      },
      "required": ["location"]
    }
  },
  {
    "name": "get_forecast",
    "description": "Daily forecast",
    "parameters": {
      "type": "object",
      "properties": {
        "location": {"type": "string"},
        "days": {"type": "integer", "minimum": 1, "maximum": 14}
      },
      "required": ["location", "days"]
    }
  }
])",
     "get_weather(location,unit);get_forecast(location,days)"},

    {"search_compact",
     R"([{"name":"search_web","description":"Search the web","parameters":{"type":"object","properties":{"query":{"type":"string"},"num_results":{"type":"integer","default":5}},"required":["query"]}},{"name":"fetch_url","description":"Download a page","parameters":{"type":"object","properties":{"url":{"type":"string","format":"uri"}},"required":["url"]}}])",
     "search_web(query,num_results);fetch_url(url)"},

    {"stocks_camel", R"([
  {"name": "getStockPrice", "description": "Latest price of a ticker",
   "parameters": {"type": "object", "properties": {"symbol": {"type": "string"}, "exchange": {"type": "string"}}, "required": ["symbol"]}},
  {"name": "getCompanyProfile", "description": "Company facts",
   "parameters": {"type": "object", "properties": {"symbol": {"type": "string"}, "includeFinancials": {"type": "boolean"}}}}
])",
     "get_stock_price(symbol,exchange);get_company_profile(symbol,includeFinancials)"},

    {"email_kebab", R"([
  {
    "name": "send-email",
    "description": "Send an e-mail",
    "parameters": {
      "type": "object",
      "properties": {
        "to": {"type": "array", "items": {"type": "string"}},
        "cc": {"type": "array", "items": {"type": "string"}},
        "subject": {"type": "string"},
        "body": {"type": "string"}
      },
      "required": ["to", "subject", "body"]
    }
  },
  {
    "name": "list-inbox",
    "description": "List recent messages",
    "parameters": {"type": "object", "properties": {"folder": {"type": "string"}, "limit": {"type": "integer"}}}
  }
])",
     "send_email(to,cc,subject,body);list_inbox(folder,limit)"},

    {"calendar_spaces", R"([
  {
    "name": "Create Calendar Event",
    "description": "Add an event to the user's calendar",
    "parameters": {
      "type": "object",
      "properties": {
        "title": {"type": "string"},
        "start_time": {"type": "string", "description": "ISO 8601"},
        "end_time": {"type": "string"},
        "attendees": {"type": "array", "items": {"type": "string", "format": "email"}}
      },
      "required": ["title", "start_time"]
    }
  },
  {"name": "Delete Event", "parameters": {"type": "object", "properties": {"event_id": {"type": "string"}}}}
])",
     "create_calendar_event(title,start_time,end_time,attendees);delete_event(event_id)"},

    {"flights_nested", R"([
  {
    "name": "book_flight",
    "description": "Book a flight",
    "parameters": {
      "type": "object",
      "properties": {
        "origin": {"type": "string", "description": "IATA code"},
        "destination": {"type": "string"},
        "passengers": {
          "type": "object",
          "properties": {
            "adults": {"type": "integer"},
            "children": {"type": "integer"}
          },
          "required": ["adults"]
        },
        "cabin": {"type": "string", "enum": ["economy", "premium", "business", "first"]}
      },
      "required": ["origin", "destination", "passengers"]
    }
  },
  {
    "name": "search_flights",
    "description": "Find flights",
    "parameters": {
      "type": "object",
      "properties": {
        "origin": {"type": "string"},
        "destination": {"type": "string"},
        "date": {"type": "string", "format": "date"}
      }
    }
  }
])",
     "book_flight(origin,destination,passengers,cabin);search_flights(origin,destination,date)"},

    {"orders_array_of_objects", R"([
  {
    "name": "create_order",
    "description": "Place an order",
    "parameters": {
      "type": "object",
      "properties": {
        "customer_id": {"type": "string"},
        "items": {
          "type": "array",
          "items": {
            "type": "object",
            "properties": {"sku": {"type": "string"}, "quantity": {"type": "integer"}},
            "required": ["sku", "quantity"]
          }
        },
        "shipping_address": {
          "type": "object",
          "properties": {"street": {"type": "string"}, "city": {"type": "string"}, "zip": {"type": "string"}}
        }
      },
      "required": ["customer_id", "items"]
    }
  },
  {"name": "cancel_order", "parameters": {"type": "object", "properties": {"order_id": {"type": "string"}, "reason": {"type": "string"}}}}
])",
     "create_order(customer_id,items,shipping_address);cancel_order(order_id,reason)"},

    {"shell_escapes", R"([
  {
    "name": "run_shell",
    "description": "Runs a command such as \"ls -la\" or \"dir C:\\Users\\me\" and returns its output",
    "parameters": {
      "type": "object",
      "properties": {
        "command": {"type": "string", "description": "e.g. \"grep -r \\\"TODO\\\" .\""},
        "cwd": {"type": "string", "description": "working directory, like C:\\\\work"}
      },
      "required": ["command"]
    }
  },
  {"name": "read_file", "description": "Read \"a file\"", "parameters": {"type": "object", "properties": {"path": {"type": "string"}}}}
])",
     "run_shell(command,cwd);read_file(path)"},

    {"escaped_names",
     R"([{"name":"say \"hello\"","description":"Quote in the name","parameters":{"type":"object","properties":{"recipient":{"type":"string"}}}},{"name":"path\\join","parameters":{"type":"object","properties":{"parts":{"type":"array"}}}}])",
     "say_hello(recipient);path_join(parts)"},

    {"unicode_names", R"([
  {
    "name": "météo_actuelle",
    "description": "Météo actuelle d'une ville — température en °C",
    "parameters": {"type": "object", "properties": {"ville": {"type": "string"}, "unité": {"type": "string", "enum": ["°C", "°F"]}}, "required": ["ville"]}
  },
  {
    "name": "天気予報",
    "description": "指定した都市の天気予報を返します",
    "parameters": {"type": "object", "properties": {"都市": {"type": "string"}, "日数": {"type": "integer"}}}
  }
])",
     "météo_actuelle(ville,unité);天気予報(都市,日数)"},

    {"contacts_name_param", R"([
  {
    "name": "create_contact",
    "description": "Add a contact",
    "parameters": {
      "type": "object",
      "properties": {
        "name": {"type": "string", "description": "Full name"},
        "phone": {"type": "string"},
        "email": {"type": "string"}
      },
      "required": ["name"]
    }
  },
  {"name": "rename_file", "parameters": {"type": "object", "properties": {"path": {"type": "string"}, "name": {"type": "string"}}, "required": ["path", "name"]}}
])",
     "create_contact(name,phone,email);rename_file(path,name)"},

    {"arguments_param", R"([
  {
    "name": "run_command",
    "description": "Run a program with command-line arguments",
    "parameters": {
      "type": "object",
      "properties": {
        "program": {"type": "string"},
        "arguments": {"type": "string", "description": "space separated, e.g. \"-v --color\""},
        "timeout": {"type": "number"}
      },
      "required": ["program"]
    }
  },
  {"name": "kill_process", "parameters": {"type": "object", "properties": {"pid": {"type": "integer"}}}}
])",
     "run_command(program,arguments,timeout);kill_process(pid)"},

    {"no_parameters", R"([
  {"name": "get_current_time", "description": "The current time in UTC"},
  {"name": "list_devices", "description": "Devices on the account", "parameters": {"type": "object", "properties": {}}},
  {"name": "set_alarm", "parameters": {"type": "object", "properties": {"time": {"type": "string"}, "label": {"type": "string"}}}}
])",
     "get_current_time();list_devices();set_alarm(time,label)"},

    {"function_wrapper", R"([
  {
    "type": "function",
    "function": {
      "name": "get_exchange_rate",
      "description": "Exchange rate between two currencies",
      "parameters": {
        "type": "object",
        "properties": {
          "base": {"type": "string", "description": "ISO 4217, e.g. EUR"},
          "quote": {"type": "string"}
        },
        "required": ["base", "quote"]
      }
    }
  },
  {
    "type": "function",
    "function": {
      "name": "convert_currency",
      "parameters": {
        "type": "object",
        "properties": {
          "amount": {"type": "number"},
          "from": {"type": "string"},
          "to": {"type": "string"}
        }
      }
    }
  }
])",
     "get_exchange_rate(base,quote);convert_currency(amount,from,to)"},

    {"smart_home_many", R"([
  {"name": "turn_on_light", "parameters": {"type": "object", "properties": {"room": {"type": "string"}, "brightness": {"type": "integer"}}}},
  {"name": "turn_off_light", "parameters": {"type": "object", "properties": {"room": {"type": "string"}}}},
  {"name": "set_thermostat", "parameters": {"type": "object", "properties": {"temperature": {"type": "number"}, "mode": {"type": "string", "enum": ["heat", "cool", "auto"]}}}},
  {"name": "lock_door", "parameters": {"type": "object", "properties": {"door": {"type": "string"}}}},
  {"name": "unlock_door", "parameters": {"type": "object", "properties": {"door": {"type": "string"}, "code": {"type": "string"}}}},
  {"name": "play_music", "parameters": {"type": "object", "properties": {"song": {"type": "string"}, "artist": {"type": "string"}, "volume": {"type": "integer"}}}},
  {"name": "set_timer", "parameters": {"type": "object", "properties": {"minutes": {"type": "integer"}, "label": {"type": "string"}}}},
  {"name": "turn_on_tv", "parameters": {"type": "object", "properties": {"channel": {"type": "integer"}}}}
])",
     "turn_on_light(room,brightness);turn_off_light(room);set_thermostat(temperature,mode);"
     "lock_door(door);unlock_door(door,code);play_music(song,artist,volume);"
     "set_timer(minutes,label);turn_on_tv(channel)"},

    {"prefix_names",
     R"([{"name":"search","parameters":{"type":"object","properties":{"q":{"type":"string"}}}},{"name":"search_news","parameters":{"type":"object","properties":{"q":{"type":"string"},"since":{"type":"string"}}}},{"name":"search_news_archive","parameters":{"type":"object","properties":{"q":{"type":"string"},"year":{"type":"integer"}}}}])",
     "search(q);search_news(q,since);search_news_archive(q,year)"},

    {"sql", R"([
  {
    "name": "execute_sql",
    "description": "Run a read-only SQL query, e.g. SELECT * FROM \"users\" WHERE id = 1",
    "parameters": {
      "type": "object",
      "properties": {
        "query": {"type": "string"},
        "database": {"type": "string", "enum": ["analytics", "billing"]},
        "timeout_ms": {"type": "integer", "default": 30000}
      },
      "required": ["query"]
    }
  },
  {"name": "list_tables", "parameters": {"type": "object", "properties": {"database": {"type": "string"}, "schema": {"type": "string"}}}}
])",
     "execute_sql(query,database,timeout_ms);list_tables(database,schema)"},

    {"dotted_names", R"([
  {"name": "git.commit", "description": "Commit staged changes", "parameters": {"type": "object", "properties": {"message": {"type": "string"}, "amend": {"type": "boolean"}}, "required": ["message"]}},
  {"name": "git.push", "parameters": {"type": "object", "properties": {"remote": {"type": "string"}, "branch": {"type": "string"}, "force": {"type": "boolean"}}}}
])",
     "git_commit(message,amend);git_push(remote,branch,force)"},

    {"acronyms",
     R"([{"name":"getUserV2","parameters":{"type":"object","properties":{"userId":{"type":"string"}}}},{"name":"XMLToJSON","parameters":{"type":"object","properties":{"xml":{"type":"string"},"pretty":{"type":"boolean"}}}},{"name":"parseURL","parameters":{"type":"object","properties":{"url":{"type":"string"}}}}])",
     "get_user_v2(userId);xml_to_json(xml,pretty);parse_url(url)"},

    {"hotels_nested", R"([
  {
    "name": "search_hotels",
    "description": "Search hotels in a city",
    "parameters": {
      "type": "object",
      "properties": {
        "city": {"type": "string"},
        "check_in": {"type": "string", "format": "date"},
        "check_out": {"type": "string", "format": "date"},
        "guests": {"type": "integer"},
        "price_range": {"type": "object", "properties": {"min": {"type": "number"}, "max": {"type": "number"}}}
      },
      "required": ["city", "check_in", "check_out"]
    }
  },
  {
    "name": "book_hotel",
    "parameters": {
      "type": "object",
      "properties": {
        "hotel_id": {"type": "string"},
        "room_type": {"type": "string", "enum": ["single", "double", "suite"]},
        "guest": {"type": "object", "properties": {"first_name": {"type": "string"}, "last_name": {"type": "string"}}}
      }
    }
  }
])",
     "search_hotels(city,check_in,check_out,guests,price_range);book_hotel(hotel_id,room_type,guest)"},

    {"math_compact",
     R"([{"name":"calculate","description":"Evaluate an arithmetic expression like \"2 * (3 + 4)\"","parameters":{"type":"object","properties":{"expression":{"type":"string"}},"required":["expression"]}},{"name":"convert_units","parameters":{"type":"object","properties":{"value":{"type":"number"},"from_unit":{"type":"string"},"to_unit":{"type":"string"}},"required":["value","from_unit","to_unit"]}}])",
     "calculate(expression);convert_units(value,from_unit,to_unit)"},

    {"translation", R"([
  {
    "name": "translate_text",
    "description": "Translate text — keeps formatting",
    "parameters": {
      "type": "object",
      "properties": {
        "text": {"type": "string"},
        "source_lang": {"type": "string"},
        "target_lang": {"type": "string"},
        "formality": {"type": "string", "enum": ["default", "more", "less"]}
      },
      "required": ["text", "target_lang"]
    }
  },
  {"name": "detect_language", "parameters": {"type": "object", "properties": {"text": {"type": "string"}}}}
])",
     "translate_text(text,source_lang,target_lang,formality);detect_language(text)"},

    {"files", R"([
  {"name": "read_file", "parameters": {"type": "object", "properties": {"path": {"type": "string"}, "encoding": {"type": "string", "default": "utf-8"}}}},
  {"name": "write_file", "parameters": {"type": "object", "properties": {"path": {"type": "string"}, "content": {"type": "string"}, "append": {"type": "boolean"}}}},
  {"name": "delete_file", "parameters": {"type": "object", "properties": {"path": {"type": "string"}}}}
])",
     "read_file(path,encoding);write_file(path,content,append);delete_file(path)"},

    {"payments_camel", R"([
  {
    "name": "createPaymentIntent",
    "parameters": {
      "type": "object",
      "properties": {
        "amount": {"type": "integer", "description": "in cents"},
        "currency": {"type": "string"},
        "customerId": {"type": "string"},
        "metadata": {"type": "object", "additionalProperties": {"type": "string"}}
      },
      "required": ["amount", "currency"]
    }
  },
  {"name": "refundPayment", "parameters": {"type": "object", "properties": {"paymentIntentId": {"type": "string"}, "amount": {"type": "integer"}}}}
])",
     "create_payment_intent(amount,currency,customerId,metadata);refund_payment(paymentIntentId,amount)"},

    {"chat_name_param", R"([
  {"name": "post_message", "parameters": {"type": "object", "properties": {"channel": {"type": "string"}, "text": {"type": "string"}, "thread_ts": {"type": "string"}}}},
  {"name": "add_reaction", "parameters": {"type": "object", "properties": {"channel": {"type": "string"}, "timestamp": {"type": "string"}, "name": {"type": "string", "description": "emoji name without colons"}}}}
])",
     "post_message(channel,text,thread_ts);add_reaction(channel,timestamp,name)"},

    {"directions_arrays", R"([
  {
    "name": "get_directions",
    "parameters": {
      "type": "object",
      "properties": {
        "origin": {"type": "string"},
        "destination": {"type": "string"},
        "mode": {"type": "string", "enum": ["driving", "walking", "transit", "cycling"]},
        "waypoints": {"type": "array", "items": {"type": "string"}},
        "avoid": {"type": "array", "items": {"type": "string", "enum": ["tolls", "highways", "ferries"]}}
      },
      "required": ["origin", "destination"]
    }
  }
])",
     "get_directions(origin,destination,mode,waypoints,avoid)"},

    {"reminders", R"([
  {"name": "set_reminder", "parameters": {"type": "object", "properties": {"message": {"type": "string"}, "time": {"type": "string"}, "repeat": {"type": "string", "enum": ["none", "daily", "weekly"]}}, "required": ["message", "time"]}},
  {"name": "list_reminders", "description": "All pending reminders", "parameters": {}},
  {"name": "delete_reminder", "parameters": {"type": "object", "properties": {"reminder_id": {"type": "string"}}}}
])",
     "set_reminder(message,time,repeat);list_reminders();delete_reminder(reminder_id)"},

    {"spanish", R"([
  {"name": "buscar_vuelos", "description": "Busca vuelos entre dos ciudades", "parameters": {"type": "object", "properties": {"origen": {"type": "string"}, "destino": {"type": "string"}, "fecha": {"type": "string"}}}},
  {"name": "reservar_habitación", "description": "Reserva una habitación de hotel", "parameters": {"type": "object", "properties": {"hotel": {"type": "string"}, "noches": {"type": "integer"}}}}
])",
     "buscar_vuelos(origen,destino,fecha);reservar_habitación(hotel,noches)"},

    {"kebab_keys", R"([
  {"name": "update-profile", "parameters": {"type": "object", "properties": {"first-name": {"type": "string"}, "last-name": {"type": "string"}, "e-mail": {"type": "string"}}}},
  {"name": "get-profile", "parameters": {"type": "object", "properties": {"user-id": {"type": "string"}}}}
])",
     "update_profile(first-name,last-name,e-mail);get_profile(user-id)"},

    {"single_object",
     R"({"name": "ping", "description": "Check that a host answers", "parameters": {"type": "object", "properties": {"host": {"type": "string"}, "count": {"type": "integer"}}}})",
     "ping(host,count)"},

    {"braces_in_descriptions", R"json([
  {
    "name": "render_template",
    "description": "Fills {placeholders} such as \"{name}\" and {{literal braces}} in a template; also [lists]",
    "parameters": {
      "type": "object",
      "properties": {
        "template": {"type": "string", "description": "text with {name} fields, e.g. \"Hi {name}!\""},
        "values": {"type": "object", "description": "map of {field: value}"}
      },
      "required": ["template", "values"]
    }
  },
  {"name": "escape_html", "description": "Escapes <, > and \"&\" ({not} a template)", "parameters": {"type": "object", "properties": {"html": {"type": "string"}}}}
])json",
     "render_template(template,values);escape_html(html)"},

    {"same_snake_name", R"([
  {"name": "getWeather", "parameters": {"type": "object", "properties": {"city": {"type": "string"}}}},
  {"name": "get_weather", "parameters": {"type": "object", "properties": {"location": {"type": "string"}, "units": {"type": "string"}}}},
  {"name": "get_time", "parameters": {"type": "object", "properties": {"timezone": {"type": "string"}}}}
])",
     "get_weather(city);get_weather(location,units);get_time(timezone)"},

    {"tabs_and_crlf",
     "[\r\n\t{\r\n\t\t\"name\":\t\"open_ticket\",\r\n\t\t\"parameters\": {\r\n\t\t\t\"type\": \"object\",\r\n"
     "\t\t\t\"properties\": {\r\n\t\t\t\t\"title\": {\"type\": \"string\"},\r\n\t\t\t\t\"priority\": "
     "{\"type\": \"string\", \"enum\": [\"low\", \"high\"]},\r\n\t\t\t\t\"labels\": {\"type\": \"array\"}\r\n"
     "\t\t\t}\r\n\t\t}\r\n\t},\r\n\t{\"name\": \"close_ticket\", \"parameters\": {\"properties\": "
     "{\"ticket_id\": {\"type\": \"integer\"}}}}\r\n]",
     "open_ticket(title,priority,labels);close_ticket(ticket_id)"},

    {"parameters_without_properties",
     R"([{"name":"resize_image","parameters":{"width":{"type":"integer"},"height":{"type":"integer"},"keep_aspect":{"type":"boolean"}}},{"name":"crop_image","parameters":{"x":{"type":"integer"},"y":{"type":"integer"},"w":{"type":"integer"},"h":{"type":"integer"}}}])",
     "resize_image(width,height,keep_aspect);crop_image(x,y,w,h)"},
};

}  // namespace pinnet::engine::testing
