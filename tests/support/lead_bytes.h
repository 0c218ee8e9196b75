// The lead bytes of code page 932 (Japanese), one flag per byte value, as the POSIX
// layer's seam (SeamUseLeadBytes) takes them: the library's reading of paths by
// characters, run natively.
#pragma once

namespace quisel::test {

inline const unsigned char* LeadBytes932() {
    static const struct Table {
        unsigned char lead[256] = {};
        Table() {
            for (int b = 0x81; b <= 0xfc; ++b) lead[b] = b <= 0x9f || b >= 0xe0;
        }
    } table;
    return table.lead;
}

}  // namespace quisel::test
