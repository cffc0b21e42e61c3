#include "modules/fs/FsModule.h"

#include <climits>
#include <cstdlib>

#include "bridge/BridgeError.h"
#include "bridge/NativeCall.h"
#include "bridge/Result.h"
#include "files/FileLocations.h"
#include "files/FileOperations.h"
#include "files/PathText.h"

namespace lumetta::modules::fs {

using bridge::Arg;
using bridge::BridgeError;
using bridge::resultError;
using bridge::resultString;
using bridge::resultVoid;
using files::DialogRequest;
using nlohmann::json;

namespace {

std::string statusResult(const files::FileStatus& status) {
    return status.hasValue() ? resultString("") : resultError(status.error().message);
}

// A path argument. A path with a NUL in it names no file: the system would silently read it
// only up to the NUL, so it is refused instead.
std::string pathArgument(const Arg& path) {
    if (path && path->find('\0') != std::string::npos)
        throw bridge::BridgeError("Invalid argument: the path contains a NUL character.");
    return path.value_or("");
}

std::string jsonResult(const json& value) {
    return resultString(bridge::jsonStringFromObject(value).value_or(""));
}

// A 32-bit integer the way the page may give it: a JSON number, or a number at the start of
// a text; anything else is 0.
int32_t optionInteger(const json& options, const char* key) {
    if (!options.is_object()) return 0;
    auto it = options.find(key);
    if (it == options.end()) return 0;
    long long value = 0;
    if (it->is_number_integer() || it->is_number_unsigned()) {
        value = it->is_number_unsigned()
                    ? static_cast<long long>(std::min<uint64_t>(it->get<uint64_t>(), LLONG_MAX))
                    : it->get<long long>();
    } else if (it->is_number_float()) {
        double d = it->get<double>();
        value = d >= static_cast<double>(INT_MAX)   ? INT_MAX
                : d <= static_cast<double>(INT_MIN) ? INT_MIN
                                                    : static_cast<long long>(d);
    } else if (it->is_string()) {
        value = std::strtoll(it->get_ref<const std::string&>().c_str(), nullptr, 10);
    } else if (it->is_boolean()) {
        value = it->get<bool>() ? 1 : 0;
    }
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int32_t>(value);
}

std::vector<std::string> extensionList(const std::optional<json>& value) {
    std::vector<std::string> out;
    if (!value) return out;
    if (value->is_string()) {
        if (!value->get_ref<const std::string&>().empty()) out.push_back(value->get<std::string>());
        return out;
    }
    if (!value->is_array()) return out;
    for (auto& item : *value)
        if (item.is_string() && !item.get_ref<const std::string&>().empty())
            out.push_back(item.get<std::string>());
    return out;
}

std::optional<json> parsedArgument(const Arg& arg) {
    if (!arg) return std::nullopt;
    auto value = bridge::jsonObjectFromString(*arg);
    if (!value || value->is_null()) return std::nullopt;
    return value;
}

}  // namespace

FsModule::FsModule(bridge::ModuleContext& context, Platform platform)
    : native_(context.native),
      services_(context.services),
      platform_(std::move(platform)),
      self_(std::make_shared<FsModule*>(this)) {
    queue_ = std::make_unique<files::DialogQueue>(*platform_.dialogs,
                                                  [this] { return native_.window(); });
    registerFunctions(context.functions);
}

FsModule::~FsModule() {
    *self_ = nullptr;
    queue_.reset();
}

void FsModule::onMainThread(std::function<void(FsModule&)> task) {
    std::weak_ptr<FsModule*> weak = self_;
    services_.mainThread.post([weak, task = std::move(task)] {
        // The module is destroyed on the main thread too, so this check cannot race.
        if (auto self = weak.lock(); self && *self) task(**self);
    });
}

void FsModule::showDialog(DialogRequest request, std::string event, bool folderSlash) {
    onMainThread(
        [request = std::move(request), event = std::move(event), folderSlash](FsModule& self) {
            std::weak_ptr<FsModule*> weak = self.self_;
            self.queue_->enqueue(request, [weak, event, folderSlash](std::string path) {
                auto alive = weak.lock();
                if (!alive || !*alive) return;
                if (folderSlash && !path.empty()) path = files::withTrailingSlash(path);
                (*alive)->native_.postEvent(bridge::joinEvent({"fs", event, path}));
            });
        });
}

void FsModule::registerFunctions(bridge::FunctionTable& functions) {
    auto& desktop = *platform_.desktop;

    functions.add("$$fs_separator::", [](const Arg&, const Arg&) { return resultString("/"); });

    functions.add("$$fs_path::", [&desktop](const Arg& name, const Arg&) {
        return resultString(files::locationDirectory(name, desktop));
    });

    functions.add("$$fs_volumes::", [&desktop](const Arg&, const Arg&) {
        json list = json::array();
        for (auto& volume : desktop.volumes()) {
            json record{{"mount", volume.mount}};
            if (volume.name) record["volume"] = *volume.name;
            list.push_back(std::move(record));
        }
        return jsonResult(list);
    });

    functions.add("$$fs_contents::", [](const Arg& directory, const Arg& excluded) {
        auto listing = files::listDirectory(pathArgument(directory), excluded.value_or(""));
        if (!listing) return resultError(listing.error().message);
        json list = json::array();
        for (auto& entry : *listing) list.push_back(files::toJson(entry));
        return jsonResult(list);
    });

    functions.add("$$fs_stat::", [](const Arg& path, const Arg&) {
        auto record = files::attributes(pathArgument(path));
        if (!record) return resultError(record.error().message);
        return jsonResult(files::toJson(*record));
    });

    functions.add("$$fs_exec::", [this](const Arg& target, const Arg&) {
        if (target && !target->empty()) {
            onMainThread([target = *target](FsModule& self) {
                self.platform_.desktop->openWithDefault(target);
            });
        }
        return resultVoid();
    });

    functions.add("$$fs_mkdir::", [](const Arg& path, const Arg&) {
        return statusResult(files::makeDirectory(pathArgument(path)));
    });
    functions.add("$$fs_unlink::", [](const Arg& path, const Arg&) {
        return statusResult(files::removeItem(pathArgument(path)));
    });
    functions.add("$$fs_copy::", [](const Arg& from, const Arg& to) {
        return statusResult(files::copyItem(pathArgument(from), pathArgument(to)));
    });
    functions.add("$$fs_move::", [](const Arg& from, const Arg& to) {
        return statusResult(files::moveItem(pathArgument(from), pathArgument(to)));
    });

    functions.add("$$fs_unzip::", [](const Arg& archive, const Arg& destination) {
        if (!archive || !destination || archive->empty() || destination->empty())
            return resultError("unzip failed.");
        return statusResult(files::unzip(pathArgument(archive), pathArgument(destination)));
    });

    functions.add("$$fs_readString::", [](const Arg& path, const Arg&) {
        auto text = files::readText(pathArgument(path));
        if (!text) return resultError(text.error().message);
        return resultString(*text);
    });

    functions.add("$$fs_readData::", [](const Arg& path, const Arg& options) {
        auto bytes = [&]() -> Expected<std::string> {
            if (!options) return files::readWhole(pathArgument(path));
            json parsed = bridge::jsonObjectFromString(*options).value_or(json());
            return files::readRange(pathArgument(path), optionInteger(parsed, "offset"),
                                    optionInteger(parsed, "length"));
        }();
        if (!bytes) return resultError(bytes.error().message);
        const auto& data = *bytes;
        return resultString(
            bridge::hexStringFromBytes(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
    });

    auto writer = [](bool append, bool hex) {
        return [append, hex](const Arg& path, const Arg& content) {
            std::string bytes;
            if (hex) {
                auto data = bridge::dataFromHexString(content.value_or(""));
                bytes.assign(data.begin(), data.end());
            } else {
                bytes = content.value_or("");
            }
            if (!path || path->empty()) return resultError(files::kCreateFailed);
            return statusResult(files::writeFile(pathArgument(path), bytes, append));
        };
    };
    functions.add("$$fs_writeString::", writer(false, false));
    functions.add("$$fs_appendString::", writer(true, false));
    functions.add("$$fs_writeData::", writer(false, true));
    functions.add("$$fs_appendData::", writer(true, true));

    functions.add("$$fs_openfilename::", [this](const Arg& extensions, const Arg& folder) {
        DialogRequest request;
        // The start folder only counts when the extension list was given.
        if (auto parsed = parsedArgument(extensions)) {
            request.extensions = extensionList(parsed);
            request.folder = folder.value_or("");
        }
        showDialog(std::move(request), "openfilename", false);
        return resultVoid();
    });

    functions.add("$$fs_openfilenamev2::", [this](const Arg& extensions, const Arg&) {
        DialogRequest request;
        request.extensions = extensionList(parsedArgument(extensions));
        showDialog(std::move(request), "openfilename", false);
        return resultVoid();
    });

    functions.add("$$fs_savefilename::", [this](const Arg& proposed, const Arg& extension) {
        DialogRequest request;
        request.kind = DialogRequest::Kind::save;
        std::string path = proposed.value_or("Untitled");
        if (!path.empty()) {
            request.folder = files::deletingLastPathComponent(path);
            std::string name = files::lastPathComponent(path);
            if (name != "/") request.name = name;
        }
        // The extension only counts when a proposed path was given.
        if (proposed && extension && !extension->empty()) request.extensions = {*extension};
        showDialog(std::move(request), "savefilename", false);
        return resultVoid();
    });

    functions.add("$$fs_choosefolder::", [this](const Arg& folder, const Arg&) {
        DialogRequest request;
        request.kind = DialogRequest::Kind::folder;
        request.folder = folder.value_or("");
        showDialog(std::move(request), "choosefolder", true);
        return resultVoid();
    });

    functions.add("$$fs_unmount::", [this](const Arg& path, const Arg&) {
        std::string target = path.value_or("");
        onMainThread([target](FsModule& self) {
            std::weak_ptr<FsModule*> weak = self.self_;
            self.platform_.desktop->unmount(target, [weak,
                                                     target](std::optional<std::string> error) {
                auto alive = weak.lock();
                if (!alive || !*alive) return;
                auto& native = (*alive)->native_;
                if (error)
                    native.postEvent(bridge::joinEvent({"fs", "unmountfailed", target, *error}));
                else
                    native.postEvent(bridge::joinEvent({"fs", "unmounted", target}));
            });
        });
        return resultVoid();
    });

    functions.add("$$fs_openmediafile::", [](const Arg&, const Arg&) { return resultVoid(); });

    functions.add("$$fs_deletemediafile::", [&desktop](const Arg& name, const Arg&) {
        // Only an item directly inside the documents folder: a last component of "..", "."
        // or nothing would name the folder itself or its parent, the user's home.
        std::string item = files::lastPathComponent(name.value_or(""));
        if (!files::isSingleItemName(item)) throw BridgeError("Invalid media file name.");
        return statusResult(files::removeItem(files::documentsDirectory(desktop) + item));
    });
}

bridge::ModuleDescriptor descriptor(PlatformFactory factory) {
    return {"fs", 100,
            [factory = std::move(factory)](
                bridge::ModuleContext& context) -> std::unique_ptr<bridge::Module> {
                return std::make_unique<FsModule>(context, factory(context.services));
            }};
}

}  // namespace lumetta::modules::fs
