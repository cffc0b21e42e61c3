#pragma once

// The page developer's reference: every bridge function with its arguments, result and the
// events it causes, and every event with its fields. One table feeds `lumetta
// --list-functions`, the reference page, lumetta.d.ts and the page library's name check; a
// test holds it equal to the functions the modules register.

#include <string>
#include <vector>

namespace lumetta::modules::reference {

/// One argument of a bridge function. An empty name means the function ignores it.
struct Argument {
    std::string name;
    std::string text;       ///< what the page passes
    bool optional = false;  ///< absent (null) is meaningful
};

/// Result kinds, as the page reads them: the type tag and what the text carries.
/// "v" nothing, "s" text, "json" "s" + JSON text, "hex" "s" + hexadecimal bytes, "b" boolean,
/// "d" integer, "f" number; "v|s" and similar where a call reads or writes.
struct Function {
    std::string name;  ///< page name, "$$fs_stat"
    Argument arg1;
    Argument arg2;
    std::string result;               ///< result kind (see above)
    std::string resultText;           ///< what the result means
    std::vector<std::string> events;  ///< "module event" of every event the call may cause
    std::string summary;
};

struct Field {
    std::string name;
    std::string text;
};

struct Event {
    std::string module;
    std::string name;
    std::vector<Field> fields;  ///< after the module and event names
    std::string when;
};

struct Module {
    std::string name;
    std::string summary;
};

const std::vector<Module>& modules();
const std::vector<Function>& functions();
const std::vector<Event>& events();

/// The table as JSON text: {"modules": [...], "functions": [...], "events": [...]}.
std::string json();

/// The typed block of lumetta.d.ts (between its generated-block markers).
std::string typeScript();

/// The reference page (HTML).
std::string html();

/// The TypeScript type of a result kind's Result, e.g. "TypedResult<'s'>".
std::string resultType(const std::string& kind);

}  // namespace lumetta::modules::reference
