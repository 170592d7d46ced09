#include "ui/window_front.h"

#include "app/headless_view.h"

namespace qv {

int RunWindow(QApplication& app, const HostOptions& options) {
    HeadlessView view;
    ServerHost host(options, view);
    host.server().Form_Load();
    return app.exec();
}

}  // namespace qv
