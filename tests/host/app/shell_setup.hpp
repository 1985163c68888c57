#pragma once
#include "host/app/app_shell.hpp"
#include "host/platform/asio_serial_queue.hpp"
namespace tarvel::app {
/// A shell whose files live under `files`, on a bench run (no first-launch question).
inline AppShell::Setup testShellSetup(std::shared_ptr<server::HostServer> server,
                                      std::shared_ptr<QtMainQueue> mainQueue,
                                      const std::filesystem::path& files, InjectionState injection,
                                      std::shared_ptr<control::ControlServer> control) {
    auto defaults = std::make_shared<mapping::UserDefaults>(files / "defaults.json");
    return {
        .server = std::move(server),
        .mainQueue = std::move(mainQueue),
        .background = std::make_shared<platform::AsioSerialQueue>("rc.test.background"),
        .defaults = defaults,
        .runtime = mapping::makePadMappingRuntime(files / "mapping.json", *defaults),
        .mappingFile = files / "mapping.json",
        .injection = std::move(injection),
        .loginItem = LoginItem(files / "autostart", "/usr/bin/tarvel"),
        .environment = [](std::string_view name) -> std::optional<std::string> {
            return name == "TVL_BENCH" ? std::optional<std::string>("1") : std::nullopt;
        },
        .control = std::move(control),
    };
}
}  // namespace tarvel::app
