#include "app/app_resources.h"

#include <QtGlobal>
#include <mutex>

// Q_INIT_RESOURCE declares a function of the global namespace, so it cannot be called from
// inside a namespace.
static void registerResources() { Q_INIT_RESOURCE(voxtrail); }

void initAppResources() {
    static std::once_flag once;
    std::call_once(once, registerResources);
}
