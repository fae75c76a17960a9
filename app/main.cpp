#include "app/loader_app.h"
#include "device/hidraw_platform.h"

int main(int argc, char** argv) {
    CLoaderApp app(argc, argv);
    HidrawPlatform platform;
    return app.Run(platform);
}
