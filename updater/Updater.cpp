#include "Updater.h"

Updater::Updater(const char* serverUrl_, const char* storeDir_, UpdaterDisplayInterface& display_)
    : serverUrl(serverUrl_ ? serverUrl_ : ""), storeDir(storeDir_ ? storeDir_ : ""), display(display_)
{
}

void Updater::Set_UEIBytes_Load(bool use)
{
    useUeiBytes = use;
}
