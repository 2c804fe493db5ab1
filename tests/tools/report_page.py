#!/usr/bin/python3
"""Reads a page of vxtool project report as a browser would (html5lib, strict: any parse
error fails) and prints what the report test compares with project check --json, as JSON:
its rows, problems, chart marks, and anything in it that runs or loads."""
import json
import re
import sys

import html5lib

SVG = "{http://www.w3.org/2000/svg}"


def classes(el):
    return el.get("class", "").split()


def text(el):
    return "".join(el.itertext()) if el is not None else None


def find(el, tag, cls):
    for e in el.iter(tag):
        if cls in classes(e):
            return e
    return None


def strip(row):
    svg = row.find(".//" + SVG + "svg")
    if svg is None:
        return None
    paths = {}
    for p in svg.iter(SVG + "path"):
        paths[p.get("class")] = p.get("d")
    quiet = [[float(v) for v in m] for m in re.findall(r"M(\S+) 0[hH](\S+?)v", paths.get("q", ""))]
    return {"width": float(svg.get("viewBox").split()[2]), "quiet": quiet,
            "wave": bool(paths.get("wv")), "clips": paths.get("c", "").count("M"),
            "overs": paths.get("o", "").count("M")}


def items(ul, off):
    """The texts of a list's items, those of class "off" or the others."""
    return [text(li) for li in ul.iter("li") if ("off" in classes(li)) == off] if ul is not None else []


def cue_of(row, chapter):
    cue = {"id": row.get("id"), "chapter": chapter, "bad": "pb" in classes(row),
           "strip": strip(row)}
    for key, tag, cls in (("number", "div", "n"), ("start", "span", "st"),
                          ("length", "span", "ln"), ("name", "div", "nm"),
                          ("desc", "div", "de"), ("note", "div", "no"),
                          ("lufs", "dd", "lu"), ("truePeak", "dd", "tp"),
                          ("noiseFloor", "dd", "nf"), ("peak", "dd", "pk"),
                          ("state", "p", "np"), ("box", "div", "x")):
        cue[key] = text(find(row, tag, cls))
    ws = find(row, "ul", "ws")
    cue["warnings"], cue["offTarget"] = items(ws, False), items(ws, True)
    cue["notes"] = items(find(row, "ul", "nt"), False)
    cue["flagged"] = [dd.get("class").split()[0] for dd in row.iter("dd") if "bad" in classes(dd)]
    return cue


def main():
    with open(sys.argv[1], "rb") as f:
        raw = f.read()
    parser = html5lib.HTMLParser(strict=True, namespaceHTMLElements=False)
    try:
        doc = parser.parse(raw)
    except html5lib.html5parser.ParseError as e:
        print(json.dumps({"error": str(e)}))
        return
    out = {"bytes": len(raw), "title": text(doc.find(".//title")), "scripts": 0, "loads": [],
           "chapters": [], "cues": [], "problems": {}, "marks": 0}
    for el in doc.iter():
        tag = el.tag if isinstance(el.tag, str) else ""
        out["scripts"] += tag.endswith("script") or any(a.startswith("on") for a in el.keys())
        for name in ("src", "href", "{http://www.w3.org/1999/xlink}href", "data", "action"):
            if el.get(name) is not None and not el.get(name).startswith("#"):
                out["loads"].append(el.get(name))
        if tag == "style" and re.search(r"url\(|@import", text(el)):
            out["loads"].append("style")
        if tag in ("link", "img", "iframe", "object", "embed", "base"):
            out["loads"].append(tag)
    for li in find(doc, "section", "pr").iter("li"):
        out["problems"][text(li.find("b"))] = [a.get("href") for a in li.iter("a")]
    chart = find(doc, SVG + "svg", "lc")
    out["marks"] = [a.get("href") for a in chart.iter(SVG + "a") if a.get("href").startswith("#cue-")]
    for section in doc.iter("section"):
        if "cp" not in classes(section):
            continue
        out["chapters"].append({"id": section.get("id"), "heading": text(section.find("h2"))})
        for row in section.iter("div"):
            if "cue" in classes(row):
                out["cues"].append(cue_of(row, len(out["chapters"])))
    print(json.dumps(out))


main()
