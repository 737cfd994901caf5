// The user's regional settings as the expression language shows them: separators, currency,
// date and time formats, and the locale's date reading, writing and text order. Everything comes
// from the C library's locale data (nl_langinfo, strftime, strptime, strfmon, wcscoll).
#pragma once

#include <locale.h>

#include <string>
#include <string_view>

class TUserLocale {
public:
    // AName is a C library locale name ("pt_BR.UTF-8"); the empty name takes the locale the
    // environment selects (LC_ALL, LC_* and LANG, as setlocale(LC_ALL, "") would). A name the C
    // library does not know leaves Valid() false and the values of the "C" locale.
    explicit TUserLocale(const std::string& AName = {});
    ~TUserLocale();
    TUserLocale(const TUserLocale&) = delete;
    TUserLocale& operator=(const TUserLocale&) = delete;

    // The locale of the environment, made on first use.
    static const TUserLocale& User();

    bool Valid() const { return FValid; }
    locale_t Handle() const { return FLocale; }

    std::string DateSep, TimeSep;         // "/" and ":" in most locales
    std::string ThousandSep, DecimalSep;  // LC_NUMERIC
    std::string CurrencySymbol;           // "R$"
    int CurrencyDecimals = 0;             // 2; 0 when the locale has none
    // strftime formats: the locale's date (D_FMT), the date part of its full date and time format
    // (D_T_FMT), its time format (T_FMT) without and with the seconds.
    std::string ShortDateFormat, LongDateFormat, ShortTimeFormat, LongTimeFormat;
    // The currency patterns as numbered in the language: positive 0 "$1", 1 "1$", 2 "$ 1", 3 "1 $";
    // negative 0 "($1)" ... 15 "(1 $)"; -1 when the locale defines none.
    int PositiveCurrencyIndex = -1;
    int NegativeCurrencyIndex = -1;

    // A date-time value (days since 1899-12-30) written with a strftime pattern; the empty
    // pattern writes the locale's date and time ("%x %X" forms). Empty when the value is outside
    // the years 1 to 9999.
    std::string FormatDateTime(double AValue, std::string_view APattern) const;
    // A date, a date and time, or a time written in the locale's formats, read back; false when
    // the text matches none of them whole.
    bool ParseDateTime(std::string_view AText, double& AValue) const;
    // The amount in the locale's currency format (strfmon "%n").
    std::string FormatMoney(double AValue) const;
    // Text order ignoring letter case under the locale's collation: <0, 0, >0.
    int CompareText(std::string_view A, std::string_view B) const;

private:
    locale_t FLocale = nullptr;
    bool FValid = false;
};

namespace UnitXmlLocale {

// A number written with a float pattern: "0" a digit always shown, "#" a digit shown when
// significant, "." the decimal separator, "," (anywhere among the digit places) thousands
// grouping, "E+0"/"E-0" scientific form, quoted text copied, up to three sections separated by
// ";" for positive, negative and zero values. Separators come from the locale. The empty
// pattern gives the general form.
std::string FormatFloat(std::string_view APattern, double AValue, const TUserLocale& ALocale);

}  // namespace UnitXmlLocale
