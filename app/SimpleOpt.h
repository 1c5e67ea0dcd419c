// A small command-line option parser driven by a table of options.
//
// Syntax it accepts: options match exactly or by a unique prefix (case
// sensitive, same number of leading hyphens); a value is the next word or is
// joined with '='. Words that are not options are set aside in order. Every
// syntax fault is reported through LastError() and the caller decides; the
// parser never prints.
#pragma once

#include <cstddef>
#include <vector>

enum ESOArgType {
    SO_NONE,     // the option takes no value
    SO_REQ_SEP,  // a value must follow, as the next word or joined with '='
};

enum ESOError {
    SO_SUCCESS = 0,
    SO_OPT_INVALID,       // no option of that name
    SO_OPT_MULTIPLE,      // the prefix names several options
    SO_ARG_INVALID,       // a value was joined to an option that takes none
    SO_ARG_MISSING,       // the line ended where a value was needed
    SO_ARG_INVALID_DATA,  // the next word begins with '-'; it is examined as an option next
};

template <class SOCHAR>
struct SOptionTempl {
    int nId;
    const SOCHAR* pszArg;
    ESOArgType nArgType;
};

template <class SOCHAR>
class CSimpleOptTempl {
public:
    using SOption = SOptionTempl<SOCHAR>;

    // The table ends with an entry whose pszArg is null. The words from
    // argv[1] on are examined; argv and the table must outlive the parser.
    CSimpleOptTempl(int argc, SOCHAR** argv, const SOption* options)
        : argc_(argc), argv_(argv), options_(options), next_(argc > 0 ? 1 : 0)
    {
    }

    // Moves to the next option word, setting the result fields. Returns false
    // once every word has been examined.
    bool Next()
    {
        Clear();
        while (next_ < argc_ && argv_[next_][0] != '-')
            files_.push_back(argv_[next_++]);
        if (next_ >= argc_)
            return false;
        word_ = argv_[next_++];

        const SOCHAR* equals = Find(word_, '=');
        size_t nameLength = equals ? static_cast<size_t>(equals - word_) : Length(word_);
        int match = Match(word_, nameLength);
        if (match < 0) {
            error_ = match == kAmbiguous ? SO_OPT_MULTIPLE : SO_OPT_INVALID;
            return true;
        }
        const SOption& option = options_[match];
        id_ = option.nId;
        text_ = option.pszArg;
        if (option.nArgType == SO_NONE) {
            if (equals)
                error_ = SO_ARG_INVALID;
            return true;
        }
        if (equals) {
            arg_ = equals + 1;
        } else if (next_ >= argc_) {
            error_ = SO_ARG_MISSING;
        } else if (argv_[next_][0] == '-') {
            error_ = SO_ARG_INVALID_DATA;
        } else {
            arg_ = argv_[next_++];
        }
        return true;
    }

    ESOError LastError() const { return error_; }
    // The table id of the matched option; -1 when nothing matched.
    int OptionId() const { return id_; }
    // The option's full text from the table (null when nothing matched).
    const SOCHAR* OptionText() const { return text_; }
    // The word as the user wrote it.
    const SOCHAR* OptionWord() const { return word_; }
    // The option's value, null for options without one or on an error.
    const SOCHAR* OptionArg() const { return error_ == SO_SUCCESS ? arg_ : nullptr; }
    // The words that were not options, in order, as far as examined.
    const std::vector<SOCHAR*>& Files() const { return files_; }

private:
    static constexpr int kNoMatch = -1;
    static constexpr int kAmbiguous = -2;

    void Clear()
    {
        error_ = SO_SUCCESS;
        id_ = -1;
        text_ = nullptr;
        word_ = nullptr;
        arg_ = nullptr;
    }

    static size_t Length(const SOCHAR* s)
    {
        size_t n = 0;
        while (s[n])
            ++n;
        return n;
    }

    static const SOCHAR* Find(const SOCHAR* s, SOCHAR c)
    {
        for (; *s; ++s)
            if (*s == c)
                return s;
        return nullptr;
    }

    static size_t Hyphens(const SOCHAR* s, size_t length)
    {
        size_t n = 0;
        while (n < length && s[n] == '-')
            ++n;
        return n;
    }

    // Index of the option that the first `length` characters of word name:
    // an exact match wins, else the only option they are a prefix of.
    int Match(const SOCHAR* word, size_t length) const
    {
        size_t hyphens = Hyphens(word, length);
        if (hyphens == length)
            return kNoMatch;  // "-" and "--" name nothing
        int found = kNoMatch;
        for (int i = 0; options_[i].pszArg; ++i) {
            const SOCHAR* text = options_[i].pszArg;
            size_t textLength = Length(text);
            if (Hyphens(text, textLength) != hyphens || length > textLength)
                continue;
            if (!SamePrefix(word, text, length))
                continue;
            if (length == textLength)
                return i;
            found = found == kNoMatch ? i : kAmbiguous;
        }
        return found;
    }

    static bool SamePrefix(const SOCHAR* a, const SOCHAR* b, size_t length)
    {
        for (size_t i = 0; i < length; ++i)
            if (a[i] != b[i])
                return false;
        return true;
    }

    int argc_;
    SOCHAR** argv_;
    const SOption* options_;
    int next_;
    std::vector<SOCHAR*> files_;
    ESOError error_ = SO_SUCCESS;
    int id_ = -1;
    const SOCHAR* text_ = nullptr;
    const SOCHAR* word_ = nullptr;
    const SOCHAR* arg_ = nullptr;
};

using CSimpleOpt = CSimpleOptTempl<char>;
