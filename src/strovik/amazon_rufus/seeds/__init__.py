"""Making seed files without a browser extension.

A seed is one Rufus request as the browser sent it (``SeedRequestRecord``). The modules
here make one from a live browser (``capture``), from what a browser's developer tools
export (``har``, ``curl``), describe one (``show``) and write it (``files``); ``command``
puts them on the ``strovik-rufus`` command line. Each works without the command line.
"""
