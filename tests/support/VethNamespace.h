#pragma once

// Runs this test program again inside a private network namespace with a veth pair
// (10.99.0.1 on veth0, 10.99.0.2 on veth1) and LUMETTA_LINK_NETNS=1, so broadcasts never
// leave it. Needs root, unshare (util-linux) and ip (iproute2).

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace lumetta::test {

struct NamespaceRun {
    bool notPermitted = false;  // the kernel or container refused the namespace
    bool succeeded = false;     // the inner run exited with status 0
    std::string output;         // what the inner run printed (stdout and stderr)
};

/// Reruns the tests matching `gtestFilter` in the namespace; `environment` is put before the
/// command (e.g. "DBUS_SESSION_BUS_ADDRESS=disabled:").
inline NamespaceRun rerunInVethNamespace(const std::string& gtestFilter,
                                         const std::string& environment = "") {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    const std::string script =
        "set -e; ip link set lo up; ip link add veth0 type veth peer name veth1; "
        "ip link set veth0 up; ip link set veth1 up; ip addr add 10.99.0.1/24 dev veth0; "
        "ip addr add 10.99.0.2/24 dev veth1; "
        "LUMETTA_LINK_NETNS=1 " +
        environment + " exec '" + self + "' --gtest_filter='" + gtestFilter + "'";
    const std::string command =
        "unshare --net --mount --pid --fork --mount-proc sh -c \"" + script + "\" 2>&1";
    NamespaceRun run;
    FILE* out = ::popen(command.c_str(), "r");
    if (!out) return run;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, out)) > 0) run.output.append(buffer, n);
    const int status = ::pclose(out);
    run.notPermitted = run.output.find("Operation not permitted") != std::string::npos &&
                       run.output.find("[==========]") == std::string::npos;
    run.succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

}  // namespace lumetta::test
