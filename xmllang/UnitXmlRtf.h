// The RTF functions of the expression language, the least that serves text in and out of RTF
// documents. Texts are UTF-8; RTF is written 7-bit with \uN for other characters.
//
//   RTFFromText(Text)            a minimal RTF document holding the text; line breaks become \par
//   TextFromRTF(Rtf)             the document's text: control words and destination groups
//                                dropped, \par and \line as CR LF, \tab as a tab, \'hh (code page
//                                1252) and \uN as characters
//   HTMLFromRTF(Rtf)             an HTML fragment: one <p> per paragraph, <b>, <i> and <u> for
//                                bold, italic and underline
//   ConcatRTF(Rtf1, Rtf2, ...)   one document: the header of the first and the bodies of all, each
//                                after the first starting a new paragraph (plain text arguments
//                                are taken as text)
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace UnitXmlRtf {

std::string RtfFromText(std::string_view AText);
std::string TextFromRtf(std::string_view ARtf);
std::string HtmlFromRtf(std::string_view ARtf);
std::string ConcatRtf(const std::vector<std::string>& ADocuments);

}  // namespace UnitXmlRtf
