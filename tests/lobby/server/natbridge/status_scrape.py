#!/usr/bin/env python3
"""Fetches a page of the daemon's status server for the process-level tests.

  status_scrape.py metrics URL  parse with the Prometheus text-format parser;
                                print "TYPE family type" and "SAMPLE name{labels} value"
  status_scrape.py fetch URL    print "STATUS code", "TYPE content-type", then the body

Exit status 0, 2 when the page does not parse, 3 when the fetch fails.
"""
import sys
import urllib.error
import urllib.request


def fetch(url):
    try:
        with urllib.request.urlopen(url, timeout=10) as r:
            return r.status, r.headers.get("Content-Type", ""), r.read().decode("iso-8859-1")
    except urllib.error.HTTPError as e:
        return e.code, e.headers.get("Content-Type", ""), e.read().decode("iso-8859-1")


def main():
    mode, url = sys.argv[1], sys.argv[2]
    try:
        code, ctype, body = fetch(url)
    except Exception as e:  # refused, reset, time-out
        print("FETCH FAILED %s" % e)
        return 3
    if mode == "fetch":
        print("STATUS %d" % code)
        print("TYPE %s" % ctype)
        sys.stdout.write(body)
        return 0
    from prometheus_client.parser import text_string_to_metric_families
    if code != 200 or ctype != "text/plain; version=0.0.4":
        print("BAD RESPONSE %d %s" % (code, ctype))
        return 2
    try:
        for family in text_string_to_metric_families(body):
            print("TYPE %s %s" % (family.name, family.type))
            for s in family.samples:
                labels = ",".join('%s="%s"' % kv for kv in sorted(s.labels.items()))
                print("SAMPLE %s%s %d" % (s.name, "{%s}" % labels if labels else "", int(s.value)))
    except Exception as e:
        print("PARSE FAILED %s" % e)
        return 2
    return 0


sys.exit(main())
