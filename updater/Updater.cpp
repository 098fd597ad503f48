#include "updater/Updater.h"

Updater::Updater(const char* url, const char* storeDirectory, UpdaterDisplayInterface& display)
    : m_url(url ? url : ""), m_storeDirectory(storeDirectory ? storeDirectory : ""), m_display(display) {}
