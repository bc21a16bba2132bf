#include "address/wpad_script.h"

QByteArray WpadScript(const QByteArray& proxy) {
    QByteArray script;
    script += "function FindProxyForURL(url, host) {\n";
    // No braces and no else: the return below is all the condition governs.
    script += "if (url.substring(0, 5) == \"http:\" || url.substring(0, 6) == \"https:\") \n";
    script += "   return \"PROXY " + proxy + "; DIRECT\";\n";
    script += "   return \"DIRECT\";\n";
    script += "}\n";
    return script;
}
