// The options of a call, each read once.
#pragma once

#include "common/pyutil.hpp"
#include "reportbook/reportbook.hpp"

#include <string>

namespace rb {

// One attribute of a call's options, read once: at the step that
// needs it first, where a missing one raises its AttributeError, and kept
// for the later steps.
class Option {
public:
    Option(handle options, const char *name) : m_options(options), m_name(name) {}
    // options.<name>, or its AttributeError.
    const object &get() {
        if (!m_value.is_valid()) {
            m_value = nb::getattr(m_options, m_name);
            m_looked = true;
        }
        return m_value;
    }
    // hasattr(options, name).
    bool present() {
        if (!m_looked) {
            m_value = pyutil::attr_or_none(m_options, m_name);
            m_looked = true;
        }
        return m_value.is_valid();
    }
    const char *name() const { return m_name; }
    // options.<name> with the name a refusal gives it, "options.<name>".
    Named named() {
        if (m_qualified.empty()) m_qualified = std::string("options.") + m_name;
        return {get(), m_qualified.c_str()};
    }

private:
    handle m_options;
    const char *m_name;
    object m_value;
    bool m_looked = false;
    std::string m_qualified;
};

}  // namespace rb
