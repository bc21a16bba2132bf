#pragma once
// The names src/main.cpp still uses; this file goes once it says GatewayShell, startUp() and
// quit().

#include "shell/gateway_shell.h"

class WFGatewayMain : public GatewayShell {
public:
    using GatewayShell::GatewayShell;
    void Form_Load() { startUp(); }
    void ExitApplication() { quit(); }
};
