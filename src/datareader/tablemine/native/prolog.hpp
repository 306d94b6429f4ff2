// The prolog of an XML part: what stands before its root element.  A
// document type declaration, and so any entity, can only stand there, so the
// first bytes of a part tell whether any XML parser (expat, libxml2) would
// meet one, whatever it then does with it.  Used on the parts of a workbook
// handed to the library.
#pragma once

#include <cstddef>
#include <string>

namespace mine::native {

class PrologCheck {
public:
    enum class Verdict {
        NeedMore,  // still in the prolog
        Clean,     // the root element (or no XML at all) came first
        Doctype,   // "<!" other than a comment: a document type declaration
        Encoding,  // an encoding in which the prolog cannot be read
        TooLong,   // a prolog no writer of workbooks makes
    };

    // The part's bytes, in order, in pieces of any size.
    Verdict feed(const unsigned char *data, std::size_t len);
    // The part ended.
    Verdict finish();

private:
    Verdict decide_encoding();
    Verdict step(char32_t c);
    Verdict check_declaration();

    enum class State { Start, Top, Open, Bang, BangDash, Comment, Instruction };
    std::string m_head;       // the first bytes, until the encoding is known
    int m_width = 0;          // bytes a code unit: 1, 2 or 4; 0 before known
    bool m_big_endian = false;
    std::string m_unit;       // bytes of the current code unit
    State m_state = State::Start;
    std::string m_tail;       // the last characters of a comment or instruction
    std::string m_declaration;
    bool m_first_instruction = true;
    std::size_t m_seen = 0;
};

}  // namespace mine::native
