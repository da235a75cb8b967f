#!/usr/bin/python3
"""Exit 0 when a MongoDB-compatible server answers a ping at HOST:27017.

    ping.py HOST [TLS-DIR [PORT]]    an empty TLS-DIR: no TLS
"""
import sys

import pymongo


def main():
    host = sys.argv[1]
    tls_dir = sys.argv[2] if len(sys.argv) > 2 else None
    port = int(sys.argv[3]) if len(sys.argv) > 3 else 27017
    options = {"serverSelectionTimeoutMS": 500, "connectTimeoutMS": 500}
    if tls_dir:
        options.update(tls=True, tlsCAFile=f"{tls_dir}/ca.pem",
                       tlsCertificateKeyFile=f"{tls_dir}/client.pem")
    try:
        pymongo.MongoClient(host, port, **options).admin.command("ping")
    except Exception as error:  # any failure means "not yet"
        print(error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
