#!/usr/bin/env python3
"""Builds the benchmark corpora under benchmarks/data/ (git-ignored).

Corpora:
  real_ru.txt  Russian text written by other people, taken from Debian packages
               (fortune cookies, translated manual pages and documentation).
  real_en.txt  English text from the English counterparts of those packages.
  mixed.txt    generated mixed Russian/English text (default 100 MB), fixed seed.
  big.txt      1 GiB file for the peak-memory measurement (built on demand by
               bench_tokenizers.py; the generated mixed text repeated).

The Debian packages are fetched with `apt-get download` (no installation, works
without root as well) and unpacked with `dpkg-deb -x`. When apt is unavailable
or a package cannot be fetched, that package is skipped with a message; when no
package at all can be fetched, the real corpora are not built and the
benchmarks run on the generated text only.

Usage: make_corpus.py [--quick] [--force] [--mixed-mb N]
"""

from __future__ import annotations

import argparse
import gzip
import html
import io
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"

SEED = 20240501
MIXED_MB = 100
QUICK_MIXED_MB = 2
BIG_BYTES = 1 << 30

RU_PACKAGES = ["fortunes-ru", "manpages-ru", "debian-faq-ru", "maint-guide-ru",
               "developers-reference-ru"]
EN_PACKAGES = ["fortunes", "fortunes-min", "manpages", "debian-faq", "maint-guide",
               "developers-reference"]

# ---------------------------------------------------------------------------
# Generated mixed text
# ---------------------------------------------------------------------------

RU_WORDS = """
и в не на я что он с как а то все она так его но да ты к у же вы за бы по только
ее мне было вот от меня еще нет о из ему теперь когда даже ну вдруг ли если уже
или ни быть был него до вас нибудь опять уж вам ведь там потом себя ничего ей может
они тут где есть надо ней для мы тебя их чем была сам чтоб без будто чего раз тоже
себе под будет ж тогда кто этот того потому этого какой совсем ним здесь этом один
почти мой тем чтобы нее сейчас были куда зачем всех никогда можно при наконец два об
другой хоть после над больше тот через эти нас про всего них какая много разве три
эту моя впрочем хорошо свою этой перед иногда лучше чуть том нельзя такой им более
всегда конечно всю между город человек время год дело жизнь день рука работа слово
место лицо друг глаз вопрос дом сторона страна мир случай голова ребенок сила конец
вид система часть отношение женщина деньги земля машина вода отец проблема час право
нога решение дверь образ история власть закон война бог голос тысяча книга возможность
результат ночь стол имя область статья число компания народ жена группа развитие
процесс суд условие средство начало свет пора путь душа уровень форма связь минута
улица вечер качество мысль дорога мать действие месяц государство язык любовь взгляд
мама век школа цель общество деятельность организация президент комната порядок
момент театр письмо утро помощь ситуация роль рубль смысл состояние квартира орган
внимание тело труд сын мера смерть рынок программа задача предприятие разговор
правительство производство информация положение центр ответ муж автор стена интерес
федерация правило управление мужчина идея партия песня база значит новый большой
русский последний хороший главный старый высокий молодой белый важный общий живой
делать сказать говорить мочь знать стать видеть хотеть идти думать взять понять
Москва Россия Петербург Ёлка ёжик Щука Ярослав Эхо Юла Цапля Хлеб Фонарь Шкаф
""".split()

EN_WORDS = """
the of and to a in is it you that he was for on are with as I his they be at one
have this from or had by hot word but what some we can out other were all there
when up use your how said an each she which do their time if will way about many
then them write would like so these her long make thing see him two has look more
day could go come did number sound no most people my over know water than call first
who may down side been now find any new work part take get place made live where
after back little only round man year came show every good me give our under name
very through just form sentence great think say help low line differ turn cause much
mean before move right boy old too same tell does set three want air well also play
small end put home read hand port large spell add even land here must big high such
follow act why ask men change went light kind off need house picture try us again
animal point mother world near build self earth father head stand own page should
country found answer school grow study still learn plant cover food sun four between
state keep eye never last let thought city tree cross farm hard start might story saw
far sea draw left late run while press close night real life few north open seem
together next white children begin got walk example ease paper group always music
those both mark often letter until mile river car feet care second book carry took
science eat room friend began idea fish mountain stop once base hear horse cut sure
watch color face wood main enough plain girl usual young ready above ever red list
though feel talk bird soon body dog family direct pose leave song measure door product
black short numeral class wind question happen complete ship area half rock order fire
London Paris Monday January English Python Linux Debian Unicode GitHub API HTTP URL
""".split()

COMPOUNDS = """
well-known state-of-the-art e-mail self-made long-term up-to-date x-ray t-shirt
follow-up check-in real-time open-source high-level low-level read-only built-in
covid-19 mp3-player x86-64 utf-8 iso-8859-1 python-3 windows-10 b2b-market
Москва-река Ростов-на-Дону северо-запад юго-восток кто-нибудь что-то как-нибудь
по-русски по-английски бизнес-план интернет-магазин физико-математический
Санкт-Петербург научно-технический 1-й 2-я 3-е 10-летний 5-звездочный 90-е
2023-01-01 2024-12-31 1999-2000 8-800-555-35-35 192-168 10-15
""".split()

END_MARKS = [".", ".", ".", ".", ".", "!", "?", "…", "...", "?!"]
MID_MARKS = [",", ",", ",", ",", ";", ":", " —", " –", ",", " -"]
OPENERS = [("«", "»"), ("\u201c", "\u201d"), ("\u201e", "\u201c"), ("(", ")"), ('"', '"'),
           ("'", "'")]
OTHER = ["№ 5", "№12", "§ 3", "50%", "$100", "€20", "3.14", "10:30", "2+2=4", "a@b.ru",
         "https://example.org/path?x=1", "C++", "#tag", "~/bin", "x²", "°C", "café", "naïve",
         "Ελλάδα", "Україна", "中文", "😀", "\t", "·", "‑", "–", "—", "‒", "―", "‘", "’",
         "‚", "‛", "„", "‟", "․", "‥", "‧", "\u00a0", "\u000b"]


def _number(rng: random.Random) -> str:
    r = rng.random()
    if r < 0.5:
        return str(rng.randint(0, 100))
    if r < 0.8:
        return str(rng.randint(100, 100000))
    if r < 0.9:
        return f"{rng.randint(1, 31)}.{rng.randint(1, 12):02d}.{rng.randint(1900, 2030)}"
    return str(rng.randint(1, 10**12))


def _sentence(rng: random.Random, words: list[str], foreign: list[str]) -> str:
    n = rng.randint(3, 18)
    out: list[str] = []
    for i in range(n):
        r = rng.random()
        if r < 0.80:
            w = rng.choice(words)
        elif r < 0.86:
            w = rng.choice(foreign)
        elif r < 0.91:
            w = rng.choice(COMPOUNDS)
        elif r < 0.96:
            w = _number(rng)
        elif r < 0.985:
            o, c = rng.choice(OPENERS)
            w = o + rng.choice(words) + " " + rng.choice(words) + c
        else:
            w = rng.choice(OTHER)
        if i == 0:
            w = w[:1].upper() + w[1:]
        out.append(w)
        if i < n - 1 and rng.random() < 0.12:
            out.append(rng.choice(MID_MARKS))
        if i < n - 1:
            out.append(" " if rng.random() < 0.97 else "  ")
    text = "".join(out).replace(" ,", ",").replace(" ;", ";").replace(" :", ":")
    return text + rng.choice(END_MARKS)


def generate_mixed(path: Path, size_bytes: int, seed: int = SEED) -> None:
    """Writes about size_bytes of mixed Russian/English paragraphs (whole lines)."""
    rng = random.Random(seed)
    written = 0
    tmp = path.with_suffix(".tmp")
    with open(tmp, "wb") as f:
        while written < size_bytes:
            paras: list[str] = []
            for _ in range(200):
                k = rng.randint(1, 6)
                sents = []
                for _ in range(k):
                    if rng.random() < 0.6:
                        sents.append(_sentence(rng, RU_WORDS, EN_WORDS))
                    else:
                        sents.append(_sentence(rng, EN_WORDS, RU_WORDS))
                paras.append(" ".join(sents) + ("\n\n" if rng.random() < 0.3 else "\n"))
            chunk = "".join(paras).encode("utf-8")
            f.write(chunk)
            written += len(chunk)
    os.replace(tmp, path)


def build_big(path: Path, source: Path, size_bytes: int = BIG_BYTES) -> None:
    """Writes size_bytes: the source file repeated, cut at the last line feed that fits."""
    data = source.read_bytes()
    tmp = path.with_suffix(".tmp")
    left = size_bytes
    with open(tmp, "wb") as f:
        while left > 0:
            piece = data if len(data) <= left else data[:left]
            f.write(piece)
            left -= len(piece)
    os.replace(tmp, path)


# ---------------------------------------------------------------------------
# Real text from Debian packages
# ---------------------------------------------------------------------------

def _log(msg: str) -> None:
    print(f"[corpus] {msg}", file=sys.stderr, flush=True)


def _fetch(pkgs: list[str], workdir: Path) -> dict[str, Path]:
    """apt-get download + dpkg-deb -x each package; returns the unpacked roots."""
    roots: dict[str, Path] = {}
    if not shutil.which("apt-get") or not shutil.which("dpkg-deb"):
        _log("apt-get or dpkg-deb not found: skipping the Debian text corpora")
        return roots
    for pkg in pkgs:
        d = workdir / pkg
        d.mkdir(parents=True, exist_ok=True)
        r = subprocess.run(["apt-get", "download", pkg], cwd=d, capture_output=True, text=True)
        debs = list(d.glob("*.deb"))
        if r.returncode != 0 or not debs:
            msg = (r.stderr or r.stdout).strip().splitlines()
            _log(f"apt-get download {pkg} failed ({msg[-1] if msg else 'no output'}); skipped")
            continue
        root = d / "root"
        r = subprocess.run(["dpkg-deb", "-x", str(debs[0]), str(root)], capture_output=True,
                           text=True)
        if r.returncode != 0:
            _log(f"dpkg-deb -x {debs[0].name} failed; skipped")
            continue
        roots[pkg] = root
    return roots


def _decode(raw: bytes) -> str | None:
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        pass
    try:
        text = raw.decode("koi8-r")
    except UnicodeDecodeError:
        return None
    # KOI8-R puts Cyrillic in 0xC0..0xFF; accept the guess only when it yields Cyrillic.
    return text if re.search("[А-яЁё]{3}", text) else None


_ROFF_ESCAPES = [
    (re.compile(r"\\f(\[[^\]]*\]|\(..|.)"), ""),      # font changes
    (re.compile(r"\\s[+-]?\d+"), ""),                 # size changes
    (re.compile(r"\\\*(\[[^\]]*\]|\(..|.)"), ""),     # string interpolation
    (re.compile(r"\\\((em|en)"), "—"),
    (re.compile(r"\\\((lq|Lq)"), "“"),
    (re.compile(r"\\\((rq|Rq)"), "”"),
    (re.compile(r"\\\(oq"), "‘"),
    (re.compile(r"\\\(cq"), "’"),
    (re.compile(r"\\\(bu"), "•"),
    (re.compile(r"\\\(co"), "©"),
    (re.compile(r"\\\(..|\\\[[^\]]*\]"), ""),
    (re.compile(r"\\[&|^:%]"), ""),
    (re.compile(r"\\e"), "\\\\"),
    (re.compile(r"\\-"), "-"),
    (re.compile(r"\\ "), " "),
    (re.compile(r"\\(.)"), r"\1"),
]


def strip_roff(src: str) -> str:
    out = []
    for line in src.splitlines():
        if line.startswith(('.\\"', "'\\\"", '.\\\\"')):
            continue
        if line.startswith((".", "'")):
            m = re.match(r"^[.'](\S+)\s*(.*)$", line)
            if not m:
                continue
            req, rest = m.groups()
            if req in ("SH", "SS", "B", "I", "BI", "IB", "BR", "RB", "IR", "RI", "TP", "IP",
                       "TH", "Nm", "Nd", "Sh", "Ss", "Pp", "It", "Fl", "Ar", "Op"):
                if req in ("TH", "Pp", "TP"):
                    line = ""
                else:
                    line = rest.replace('"', "")
            else:
                continue
        for pat, rep in _ROFF_ESCAPES:
            line = pat.sub(rep, line)
        out.append(line)
    text = "\n".join(out)
    return re.sub(r"\n{3,}", "\n\n", text)


_TAG = re.compile(r"<[^>]+>")
_DROP = re.compile(r"<(script|style|head)\b.*?</\1>", re.S | re.I)


def strip_html(src: str) -> str:
    src = _DROP.sub(" ", src)
    src = re.sub(r"<(br|p|div|li|h\d|tr|pre|dt|dd)\b[^>]*>", "\n", src, flags=re.I)
    text = html.unescape(_TAG.sub("", src))
    lines = [ln.rstrip() for ln in text.splitlines()]
    return re.sub(r"\n{3,}", "\n\n", "\n".join(lines)).strip() + "\n"


def _texts_of(root: Path) -> list[tuple[str, str]]:
    """(relative path, plain text) of every text-like file of an unpacked package."""
    found: list[tuple[str, str]] = []
    for p in sorted(root.rglob("*")):
        if p.is_symlink() or not p.is_file():
            continue
        rel = str(p.relative_to(root))
        name = p.name
        if "/doc/" in rel and ("changelog" in name or name == "copyright"):
            continue
        if name.endswith((".dat", ".png", ".css", ".js", ".pdf", ".epub", ".svg", ".jpg",
                          ".gif", ".ico", ".inv")):
            continue
        raw = p.read_bytes()
        if name.endswith(".gz"):
            try:
                raw = gzip.decompress(raw)
            except OSError:
                continue
            name = name[:-3]
        text = _decode(raw)
        if text is None or "\x00" in text:
            continue
        if "/man/" in rel:
            text = strip_roff(text)
        elif name.endswith((".html", ".htm", ".xhtml")):
            text = strip_html(text)
        elif "/games/fortunes/" in rel:
            text = text.replace("\r\n", "\n")
        elif not name.endswith((".txt", ".rst")) and "README" not in name:
            continue
        found.append((rel, text))
    return found


def build_real(out: Path, pkgs: list[str], workdir: Path, want_cyrillic: bool) -> bool:
    roots = _fetch(pkgs, workdir)
    parts: list[str] = []
    used = []
    for pkg, root in roots.items():
        texts = _texts_of(root)
        n = 0
        for rel, text in texts:
            cyr = len(re.findall("[А-яЁё]", text))
            lat = len(re.findall("[A-Za-z]", text))
            if want_cyrillic and cyr < lat / 4:
                continue        # an English file shipped with a Russian package
            parts.append(text if text.endswith("\n") else text + "\n")
            n += len(text)
        used.append(f"{pkg} ({n / 1e6:.1f} M chars)")
    if not parts:
        _log(f"no text for {out.name}: the real-text corpus is not built")
        return False
    data = "".join(parts).encode("utf-8")
    out.write_bytes(data)
    (out.with_suffix(".sources")).write_text(
        "Built by make_corpus.py from the Debian packages: " + ", ".join(used) + "\n",
        encoding="utf-8")
    _log(f"{out.name}: {len(data) / 1e6:.1f} MB from " + ", ".join(used))
    return True


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help=f"mixed text of {QUICK_MIXED_MB} MB")
    ap.add_argument("--force", action="store_true", help="rebuild existing corpora")
    ap.add_argument("--mixed-mb", type=int, default=None)
    ap.add_argument("--no-real", action="store_true", help="skip the Debian text corpora")
    args = ap.parse_args(argv)
    DATA.mkdir(parents=True, exist_ok=True)

    mb = args.mixed_mb or (QUICK_MIXED_MB if args.quick else MIXED_MB)
    mixed = DATA / ("mixed_quick.txt" if args.quick else "mixed.txt")
    if args.force or not mixed.exists():
        _log(f"generating {mixed.name} ({mb} MB, seed {SEED})")
        generate_mixed(mixed, mb * 1_000_000)
    else:
        _log(f"{mixed.name} present, reused")

    if not args.no_real:
        todo = [(DATA / "real_ru.txt", RU_PACKAGES, True),
                (DATA / "real_en.txt", EN_PACKAGES, False)]
        if args.force or any(not o.exists() for o, _, _ in todo):
            with tempfile.TemporaryDirectory(prefix="tarvelin-corpus-") as tmp:
                for out, pkgs, cyr in todo:
                    if args.force or not out.exists():
                        build_real(out, pkgs, Path(tmp) / out.stem, cyr)
        else:
            _log("real_ru.txt and real_en.txt present, reused")
    return 0


if __name__ == "__main__":
    sys.exit(main())
