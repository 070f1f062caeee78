#!/usr/bin/env python3
"""The language-table check against the real tables and against copies of them spoiled one way
each: every spoiling must fail the check with a line that names the file and the key."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, '..', '..'))
sys.path.insert(0, HERE)
import lang_tables  # noqa: E402
import make_pseudo  # noqa: E402

IDS = os.path.join(ROOT, 'src', 'base', 'text_ids.h')
LANG = os.path.join(ROOT, 'resources', 'lang')
CHECK = os.path.join(HERE, 'check_texts.py')


def edit(name, old, new):
    """A spoiling: replace one exact line part in one table (it must be there)."""
    def apply(folder):
        path = os.path.join(folder, name)
        with open(path, encoding='utf-8') as f:
            text = f.read()
        assert old in text, f'{old!r} is not in {name}'
        with open(path, 'w', encoding='utf-8') as f:
            f.write(text.replace(old, new, 1))
    return apply


def add_file(name, content):
    def apply(folder):
        with open(os.path.join(folder, name), 'w', encoding='utf-8') as f:
            f.write(content)
    return apply


def both(*spoilings):
    def apply(folder):
        for s in spoilings:
            s(folder)
    return apply


# (what is spoiled, how, the words the check's report must hold)
SPOILINGS = [
    ('a key German lacks', edit('de.rc', '  TXT_ButtonNext "Weiter"\n', ''), 'de.rc: lacks ButtonNext'),
    ('a key English lacks', edit('de.rc', '  TXT_ButtonNext', '  TXT_ButtonNextOne "x"\n  TXT_ButtonNext'),
     'de.rc: has ButtonNextOne, which English lacks'),
    ('a key in English only', edit('en.rc', '  TXT_ButtonNext "Next"\n', '  TXT_ButtonNext "Next"\n  TXT_Extra "x"\n'),
     'en.rc: has Extra, which text_ids.h does not list'),
    ('a listed key without English', edit('en.rc', '  TXT_A11ySteps "Steps"\n', ''), 'en.rc: no text for A11ySteps'),
    ('a placeholder of another kind', edit('de.rc', 'Schritt %d von 4', 'Schritt %ls von 4'),
     'de.rc: HeaderInstall has the placeholders [%ls], English has [%d]'),
    ('a placeholder left out', edit('de.rc', 'benötigt %llu MB', 'benötigt viel'),
     'de.rc: FolderNotEnoughSpace has the placeholders [%ls], English has [%ls %llu]'),
    ('placeholders in another order', edit('de.rc', 'Auf %ls ist nicht genügend Speicherplatz frei. Zelvan benötigt %llu MB.',
                                           '%llu MB braucht Zelvan auf %ls.'),
     'de.rc: FolderNotEnoughSpace has the placeholders [%llu %ls], English has [%ls %llu]'),
    ('a placeholder more', edit('de.rc', 'TXT_PlainLogAt "Das Protokoll befindet sich unter %ls"',
                                'TXT_PlainLogAt "Das Protokoll %ls befindet sich unter %ls"'),
     'de.rc: PlainLogAt has the placeholders [%ls %ls], English has [%ls]'),
    ('a lone percent sign', edit('de.rc', '"%d %%"', '"%d %"'), 'de.rc: Percent: a "%" that starts no conversion'),
    ('a percent sign in a plain text', edit('de.rc', 'TXT_ButtonNext "Weiter"', 'TXT_ButtonNext "Weiter 100 %%"'),
     'de.rc: ButtonNext has a "%" but no placeholder'),
    ('a key given twice', edit('de.rc', '  TXT_ButtonNext "Weiter"\n', '  TXT_ButtonNext "Weiter"\n  TXT_ButtonNext "Vor"\n'),
     'de.rc:', 'ButtonNext is given twice'),
    ('an empty text', edit('de.rc', 'TXT_ButtonNext "Weiter"', 'TXT_ButtonNext ""'), 'de.rc: ButtonNext is empty'),
    ('an escape the resource compiler would read', edit('de.rc', 'TXT_ButtonNext "Weiter"', 'TXT_ButtonNext "Wei\\nter"'),
     'de.rc:', 'ButtonNext: only \\\\ may follow a backslash'),
    ('an entry over two lines', edit('de.rc', 'TXT_ButtonNext "Weiter"', 'TXT_ButtonNext\n   "Weiter"'), 'not an entry of the form'),
    ('a tag that is not the file name', edit('de.rc', 'TXT_LanguageTag "de"', 'TXT_LanguageTag "de-DE"'),
     'de.rc: its LanguageTag is "de-DE"'),
    ('no LANGUAGE statement', edit('de.rc', 'LANGUAGE LANG_GERMAN, SUBLANG_GERMAN\n', ''), 'de.rc: no LANGUAGE statement'),
    ('a LANGUAGE another table has', edit('de.rc', 'LANG_GERMAN, SUBLANG_GERMAN', 'LANG_ENGLISH, SUBLANG_ENGLISH_US'),
     'the same LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US as'),
    ('no code page', edit('de.rc', '#pragma code_page(65001)\n', ''), 'de.rc: no "#pragma code_page(65001)"'),
    ('a table languages.rc leaves out', edit('languages.rc', '#include "de.rc"\n', ''),
     'languages.rc: does not include de.rc'),
    ('a line for a file that is not there', edit('languages.rc', '#include "de.rc"\n', '#include "de.rc"\n#include "fr.rc"\n'),
     'languages.rc: includes fr.rc, which does not exist'),
    ('a new language lacking keys', both(add_file('fr.rc', '#pragma code_page(65001)\nLANGUAGE LANG_FRENCH, SUBLANG_FRENCH\n'
                                                  'STRINGTABLE\nBEGIN\n  TXT_LanguageTag "fr"\nEND\n'),
                                         edit('languages.rc', '#include "de.rc"\n', '#include "de.rc"\n#include "fr.rc"\n')),
     'fr.rc: lacks WindowTitleInstall'),
    ('a pseudo table English has moved on from', edit('en.rc', '"Next"', '"Next one"'),
     'qps-ploc.rc: not what make_pseudo.py makes from en.rc (1 texts differ, the first ButtonNext)'),
    ('a pseudo text edited by hand', edit('qps-ploc.rc', '"[Ñéxt !!!]"', '"[Next !!!]"'),
     'qps-ploc.rc: not what make_pseudo.py makes'),
]


class CheckTexts(unittest.TestCase):
    def run_check(self, folder):
        return subprocess.run([sys.executable, CHECK, '--ids', IDS, '--lang-dir', folder],
                              capture_output=True, text=True)

    def test_the_tables_as_they_are_pass(self):
        r = self.run_check(LANG)
        self.assertEqual(r.returncode, 0, r.stderr)
        keys = len(lang_tables.read_ids(IDS))
        self.assertIn(f'{keys} keys each', r.stdout)

    def test_every_spoiling_fails_the_check_and_says_where(self):
        for what, spoil, *expected in SPOILINGS:
            with self.subTest(what), tempfile.TemporaryDirectory() as tmp:
                folder = os.path.join(tmp, 'lang')
                shutil.copytree(LANG, folder)
                spoil(folder)
                r = self.run_check(folder)
                self.assertEqual(r.returncode, 1, f'{what}: the check passed\n{r.stdout}')
                for words in expected:
                    self.assertIn(words, r.stderr, what)

    def test_every_key_has_its_own_number_and_every_table_every_key(self):
        ids = lang_tables.read_ids(IDS)
        self.assertEqual(len({n for _, n in ids}), len(ids))
        for path in lang_tables.table_files(LANG):
            self.assertEqual(sorted(lang_tables.Table(path).texts), sorted(k for k, _ in ids), path)


class PseudoLanguage(unittest.TestCase):
    CASES = [
        # (English, what the pseudo text must be)
        ('Next', '[Ñéxt !!!]'),
        ('Install Zelvan', '[Íñštåll Žélvåñ !!!]'),
        ('Version %ls', '[Véršíöñ %ls !!!]'),
        ('%d%%', '[%d%% !!!]'),
    ]

    def test_accents_brackets_and_placeholders(self):
        for english, want in self.CASES:
            with self.subTest(english):
                self.assertEqual(make_pseudo.pseudo_text(english), want)

    def test_every_text_grows_by_at_least_two_fifths_and_keeps_its_placeholders(self):
        english = lang_tables.Table(os.path.join(LANG, 'en.rc')).texts
        for key, text in make_pseudo.pseudo_texts(english, 'qps-ploc').items():
            if key == 'LanguageTag':
                continue
            with self.subTest(key):
                self.assertGreaterEqual(len(text), 1.4 * len(english[key]))
                self.assertTrue(text.startswith('[') and text.endswith(']'))
                self.assertEqual(lang_tables.placeholders(text), lang_tables.placeholders(english[key]))
                bare = lang_tables.CONVERSION.sub('', text)
                self.assertFalse(any(c in bare for c in 'aeiouAEIOU'), f'an unaccented vowel in {text!r}')

    def test_only_the_pseudo_tag_is_made(self):
        self.assertIsNone(make_pseudo.pseudo_texts({'ButtonNext': 'Next'}, 'de'))


if __name__ == '__main__':
    unittest.main()
