#include "modules/Reference.h"

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace lumetta::modules::reference {

namespace {

std::string moduleOf(const std::string& function) {
    if (function.rfind("$$", 0) != 0) return "";
    auto underscore = function.find('_');
    return underscore == std::string::npos ? "" : function.substr(2, underscore - 2);
}

nlohmann::ordered_json argumentJson(const Argument& a) {
    if (a.name.empty()) return nullptr;
    return {{"name", a.name}, {"text", a.text}, {"optional", a.optional}};
}

// Result tags the page can see for a result kind, besides "e" which any call may answer.
std::vector<std::string> tagsOf(const std::string& kind) {
    std::vector<std::string> tags;
    std::stringstream in(kind);
    for (std::string part; std::getline(in, part, '|');) {
        std::string tag = (part == "json" || part == "hex") ? "s" : part;
        if (std::find(tags.begin(), tags.end(), tag) == tags.end()) tags.push_back(tag);
    }
    return tags;
}

std::string escapeHtml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// TypeScript comment text must not close the comment.
std::string commentText(std::string text) {
    for (size_t at; (at = text.find("*/")) != std::string::npos;) text.replace(at, 2, "* /");
    return text;
}

std::string identifier(const std::string& name) {
    static const std::set<std::string> reserved = {"function", "default", "delete", "new",
                                                   "in",       "var",     "class",  "switch"};
    return reserved.count(name) ? name + "_" : name;
}

}  // namespace

std::string resultType(const std::string& kind) {
    std::string union_;
    for (auto& tag : tagsOf(kind)) union_ += (union_.empty() ? "'" : " | '") + tag + "'";
    return "TypedResult<" + union_ + ">";
}

std::string json() {
    nlohmann::ordered_json out;
    out["modules"] = nlohmann::ordered_json::array();
    for (auto& m : modules()) out["modules"].push_back({{"name", m.name}, {"summary", m.summary}});
    out["functions"] = nlohmann::ordered_json::array();
    for (auto& f : functions()) {
        out["functions"].push_back({{"name", f.name},
                                    {"module", moduleOf(f.name)},
                                    {"arg1", argumentJson(f.arg1)},
                                    {"arg2", argumentJson(f.arg2)},
                                    {"result", f.result},
                                    {"resultTags", tagsOf(f.result)},
                                    {"resultText", f.resultText},
                                    {"events", f.events},
                                    {"summary", f.summary}});
    }
    out["events"] = nlohmann::ordered_json::array();
    for (auto& e : events()) {
        nlohmann::ordered_json fields = nlohmann::ordered_json::array();
        for (auto& f : e.fields) fields.push_back({{"name", f.name}, {"text", f.text}});
        out["events"].push_back(
            {{"module", e.module}, {"name", e.name}, {"fields", fields}, {"when", e.when}});
    }
    return out.dump(2);
}

std::string typeScript() {
    std::ostringstream ts;
    ts << "/** Every bridge function: its arguments and the result types it answers. */\n"
       << "export interface BridgeFunctions {\n";
    for (auto& f : functions()) {
        if (moduleOf(f.name).empty()) continue;  // not a page function
        ts << "    /** " << commentText(f.summary) << ". Result: " << commentText(f.resultText)
           << ". */\n";
        ts << "    '" << f.name << "': (";
        std::vector<std::string> params;
        auto param = [&](const Argument& a, const char* unused) {
            if (a.name.empty())
                params.push_back(std::string(unused) + "?: null");
            else
                params.push_back(identifier(a.name) +
                                 (a.optional ? "?: string | null" : ": string"));
        };
        if (!f.arg2.name.empty()) {
            param(f.arg1, "_arg1");
            param(f.arg2, "_arg2");
        } else if (!f.arg1.name.empty()) {
            param(f.arg1, "_arg1");
        }
        for (size_t i = 0; i < params.size(); ++i) ts << (i ? ", " : "") << params[i];
        ts << ") => " << resultType(f.result) << ";\n";
    }
    ts << "}\n\n/** Every event: its fields after the module and event names, per module. */\n"
       << "export interface BridgeEvents {\n";
    std::map<std::string, std::vector<const Event*>> byModule;
    std::vector<std::string> order;
    for (auto& e : events()) {
        if (!byModule.count(e.module)) order.push_back(e.module);
        byModule[e.module].push_back(&e);
    }
    for (auto& module : order) {
        ts << "    " << module << ": {\n";
        for (auto* e : byModule[module]) {
            ts << "        /** " << commentText(e->when) << ". */\n";
            ts << "        " << e->name << ": [";
            for (size_t i = 0; i < e->fields.size(); ++i)
                ts << (i ? ", " : "") << identifier(e->fields[i].name) << ": string";
            ts << "];\n";
        }
        ts << "    };\n";
    }
    ts << "}\n";
    return ts.str();
}

std::string html() {
    std::ostringstream h;
    h << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      << "<title>Lumetta bridge reference</title>\n"
      << "<style>body{font:14px/1.45 system-ui,sans-serif;margin:2em auto;max-width:72em;"
         "padding:0 1em}code,td:first-child{font-family:monospace}table{border-collapse:"
         "collapse;width:100%;margin-bottom:1.5em}td,th{border:1px solid #ccc;padding:.25em "
         ".5em;vertical-align:top;text-align:left}th{background:#f2f2f2}</style>\n"
      << "</head>\n<body>\n<h1>Lumetta bridge reference</h1>\n"
      << "<p>A page calls a bridge function by name with two string arguments (either may be "
         "absent) and gets a result string whose first character is its type: <code>v</code> "
         "nothing (also: no such function), <code>e</code> + reason (the call failed), "
         "<code>s</code> + text, <code>b</code> false / <code>b1</code> true, <code>d</code> + "
         "integer, <code>f</code> + number with six decimals. Structured values are "
         "<code>s</code> + JSON text, bytes are <code>s</code> + hexadecimal text. Events "
         "arrive as fields joined by form feeds: module, name, then the fields below. With "
         "<code>lumetta.js</code>: <code>await Lumetta.call(name, arg1, arg2)</code> and "
         "<code>Lumetta.on(module, event, (fields) =&gt; ...)</code>; "
         "<code>lumetta.d.ts</code> types both from this table.</p>\n"
      << "<h2>The secondary panel's page</h2>\n"
      << "<p>A page loaded with <code>$$zev_openPage</code> receives the main page's "
         "<code>$$zev_sendMsgToZEV</code> text through a global function "
         "<code>onSendMsgToZEV(text)</code> (the text is inserted into a script literal as "
         "given: the sender escapes quotes, backslashes and line breaks). It answers with "
         "<code>webkit.messageHandlers.sendMsgToZOM.postMessage(text)</code>, which reaches "
         "the main page as the <code>zev onSendMsgToZOM</code> event. Each navigation of the "
         "panel ends with the <code>zev onZevWebViewNotify</code> event and a code: 0 loaded, "
         "257 timed out, 258 host unreachable or offline, 256 any other failure.</p>\n";
    for (auto& m : modules()) {
        h << "<h2 id=\"" << m.name << "\">" << m.name << "</h2>\n<p>" << escapeHtml(m.summary)
          << "</p>\n";
        h << "<table>\n<tr><th>Function</th><th>Argument 1</th><th>Argument 2</th>"
             "<th>Result</th><th>Events</th><th>What it does</th></tr>\n";
        for (auto& f : functions()) {
            if (moduleOf(f.name) != m.name) continue;
            auto argCell = [](const Argument& a) {
                if (a.name.empty()) return std::string("&mdash;");
                return "<code>" + a.name + "</code>" + (a.optional ? " (optional)" : "") + ": " +
                       escapeHtml(a.text);
            };
            h << "<tr><td id=\"" << f.name.substr(2) << "\">" << f.name << "</td><td>"
              << argCell(f.arg1) << "</td><td>" << argCell(f.arg2) << "</td><td><code>"
              << escapeHtml(f.result) << "</code>: " << escapeHtml(f.resultText) << "</td><td>";
            for (size_t i = 0; i < f.events.size(); ++i)
                h << (i ? ", " : "") << "<code>" << escapeHtml(f.events[i]) << "</code>";
            h << "</td><td>" << escapeHtml(f.summary) << "</td></tr>\n";
        }
        h << "</table>\n";
        bool any = false;
        for (auto& e : events()) {
            if (e.module != m.name) continue;
            if (!any) h << "<table>\n<tr><th>Event</th><th>Fields</th><th>When</th></tr>\n";
            any = true;
            h << "<tr><td>" << e.module << " " << e.name << "</td><td>";
            if (e.fields.empty()) h << "&mdash;";
            for (size_t i = 0; i < e.fields.size(); ++i)
                h << (i ? "<br>" : "") << "<code>" << e.fields[i].name
                  << "</code>: " << escapeHtml(e.fields[i].text);
            h << "</td><td>" << escapeHtml(e.when) << "</td></tr>\n";
        }
        if (any) h << "</table>\n";
    }
    h << "</body>\n</html>\n";
    return h.str();
}

}  // namespace lumetta::modules::reference
