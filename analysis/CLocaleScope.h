// Switches this thread to the "C" locale for as long as it lives, so that
// snprintf writes a full stop whatever setlocale the program called. The locale
// object is made once: rows of a table are formatted by the hundred per frame.
#pragma once

#include <locale.h>

#include <clocale>

namespace Vy::Analysis {

class CLocaleScope {
public:
    CLocaleScope() : cLocale_(newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0))) {
        if (cLocale_ != static_cast<locale_t>(0)) {
            previous_ = uselocale(cLocale_);
        }
    }
    ~CLocaleScope() {
        if (cLocale_ != static_cast<locale_t>(0)) {
            uselocale(previous_);
            freelocale(cLocale_);
        }
    }
    CLocaleScope(const CLocaleScope&) = delete;
    CLocaleScope& operator=(const CLocaleScope&) = delete;

private:
    locale_t cLocale_ = static_cast<locale_t>(0);
    locale_t previous_ = static_cast<locale_t>(0);
};

}  // namespace Vy::Analysis
