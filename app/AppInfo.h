// Fixed facts about the application: its name, version line texts, the
// copyright line and the update server it talks to by default.
#pragma once

// Name shown in the version line and the usage text.
constexpr char kAppName[] = "Updater";
// Version number and release date, shown as "Updater (Version: ...)".
constexpr char kAppVersionText[] = "Version: 2.12.2 Mar 13 2026";
constexpr char kAppCopyright[] = "Copyright (c) 2026 Corvanta. All rights reserved.";

// The update server. Both base URLs end in the request path "/cgi/u".
constexpr char kDefaultServerHost[] = "updates.corvanta.example";
constexpr char kDefaultHttpUrl[] = "http://updates.corvanta.example/cgi/u";
constexpr char kDefaultHttpsUrl[] = "https://updates.corvanta.example/cgi/u";
