#include "bridge/NativeCall.h"

#include <algorithm>

#include "bridge/BridgeError.h"
#include "bridge/Result.h"

namespace lumetta::bridge {

namespace {
std::atomic<NativeCall*> currentBridge{nullptr};
}

void FunctionTable::add(std::string fullName, BridgeFunction function) {
    functions_[std::move(fullName)] = std::move(function);
}

const BridgeFunction* FunctionTable::find(const std::string& fullName) const {
    auto it = functions_.find(fullName);
    return it == functions_.end() ? nullptr : &it->second;
}

std::vector<std::string> FunctionTable::names() const {
    std::vector<std::string> out;
    out.reserve(functions_.size());
    for (auto& [name, fn] : functions_) out.push_back(name);
    return out;
}

NativeCall::NativeCall(Services& services, const std::vector<ModuleDescriptor>& modules)
    : services_(services),
      queue_(services.mainThread, [this](std::vector<std::string>& b) { deliverEvents(b); }) {
    currentBridge.store(this);
    functions_.add("result::", [this](const Arg& a, const Arg& b) {
        result(a, b);
        return resultVoid();
    });
    ModuleContext context{*this, functions_, services_};
    for (auto& d : modules) modules_.push_back({d.name, d.teardownRank, d.create(context)});
    for (auto& m : modules_) m.module->didCreateAll();
}

NativeCall::~NativeCall() {
    NativeCall* self = this;
    currentBridge.compare_exchange_strong(self, nullptr);
    queue_.stopDelivery();
    // No function may reach a module that is being destroyed.
    functions_.clear();
    std::vector<size_t> order(modules_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = order.size() - 1 - i;
    std::stable_sort(order.begin(), order.end(), [this](size_t a, size_t b) {
        return modules_[a].teardownRank < modules_[b].teardownRank;
    });
    for (size_t i : order) modules_[i].module.reset();
}

NativeCall* NativeCall::current() {
    return currentBridge.load();
}

std::string NativeCall::call(std::string_view function, const Arg& arg1, const Arg& arg2) {
    if (auto reason = refusal()) return resultError(*reason);
    std::string name(function);
    name += "::";
    const BridgeFunction* fn = functions_.find(name);
    if (!fn) return resultVoid();
    try {
        return (*fn)(arg1, arg2);
    } catch (const BridgeError& e) {
        return resultError(e.what());
    } catch (const std::exception& e) {
        return resultError(e.what());
    } catch (...) {
        return resultError("unknown error");
    }
}

std::string NativeCall::dispatch2(std::string_view body) {
    auto fields = splitFields(body, '\f');
    Arg arg1, arg2;
    if (fields.size() > 1) arg1 = percentDecode(fields[1]);
    if (fields.size() > 2) arg2 = percentDecode(fields[2]);
    return call(fields[0], arg1, arg2);
}

std::string NativeCall::dispatchHeaders(const Arg& method, const Arg& arg1, const Arg& arg2) {
    if (!method) return resultVoid();
    Arg a1 = arg1 ? percentDecode(*arg1) : std::nullopt;
    Arg a2 = arg2 ? percentDecode(*arg2) : std::nullopt;
    return call(*method, a1, a2);
}

void NativeCall::didReceiveScriptMessage(std::string_view name, std::string_view body) {
    if (name == "prompt") {
        dispatch2(body);
        return;
    }
    auto fields = splitFields(body, '\f');
    Arg arg1, arg2;
    if (fields.size() > 1) arg1 = std::string(fields[1]);
    if (fields.size() > 2) arg2 = std::string(fields[2]);
    auto head = splitFields(fields[0], '\t');
    std::string_view function = fields[0];
    std::optional<std::string_view> callback;
    if (head.size() >= 2) {
        function = head[0];
        callback = head[1];
    }
    std::string result = call(function, arg1, arg2);
    std::string escaped = escapeScriptLiteral(result);
    if (name == "lumetta1") {
        evalJavaScript("window['" + escapeScriptLiteral(body) + "']='" + escaped + "'");
    }
    if (callback) {
        evalJavaScript("window['" + escapeScriptLiteral(*callback) + "']('" + escaped + "')");
    }
}

void NativeCall::evalJavaScript(std::string script) {
    services_.center.post(note::evalJavaScript, script, this);
}

void NativeCall::postEvent(std::string event) {
    queue_.post(std::move(event));
}

void NativeCall::deliverEvents(std::vector<std::string>& batch) {
    // One dispatch call per event; a handler that throws must not keep the later events of
    // the batch from the page. A batch travels as one array of literals walked by one loop:
    // the page parses a few bytes per event instead of a statement and a handler each.
    size_t size = 0;
    for (auto& e : batch) size += e.size() + e.size() / 8 + 4;
    std::string script;
    script.reserve(size + 160);
    if (batch.size() == 1) {
        script += "try{window.$event.dispatch('";
        script += escapeScriptLiteral(batch.front());
        script += "')}catch(e){console.error(e)}\n";
    } else {
        script +=
            "(function(q){for(let i=0;i<q.length;i++){try{window.$event.dispatch(q[i])}"
            "catch(e){console.error(e)}}})([";
        for (auto& e : batch) {
            script += "\n'";
            script += escapeScriptLiteral(e);
            script += "',";
        }
        script += "])\n";
    }
    std::string condition;
    {
        std::lock_guard guard(propertyLock_);
        condition = eventCondition_;
    }
    if (!condition.empty()) script = "if (" + condition + ") {\n" + script + "}\n";
    evalJavaScript(std::move(script));
}

void NativeCall::setEventCondition(std::string condition) {
    std::lock_guard guard(propertyLock_);
    eventCondition_ = std::move(condition);
}

std::optional<std::string> NativeCall::clipboard() const {
    std::lock_guard guard(propertyLock_);
    return clipboard_;
}

void NativeCall::setClipboard(std::optional<std::string> text) {
    std::lock_guard guard(propertyLock_);
    clipboard_ = std::move(text);
}

std::vector<std::string> NativeCall::dropfiles() const {
    std::lock_guard guard(propertyLock_);
    return dropfiles_;
}

void NativeCall::setDropfiles(std::vector<std::string> paths) {
    std::lock_guard guard(propertyLock_);
    dropfiles_ = std::move(paths);
}

void NativeCall::setRefusal(std::optional<std::string> reason) {
    std::lock_guard guard(propertyLock_);
    refusal_ = std::move(reason);
}

std::optional<std::string> NativeCall::refusal() const {
    std::lock_guard guard(propertyLock_);
    return refusal_;
}

void NativeCall::exit() {
    services_.application.terminate();
}

void NativeCall::result(const Arg& type, const Arg& payload) {
    services_.center.post(note::postEvent,
                          joinEvent({"recognizer", type.value_or(""), payload.value_or("")}));
}

}  // namespace lumetta::bridge
