"""Keyword ranking for tokenised documents.

The ranking functions live in the extension module
:mod:`tallowmere.vellumcrest.keyword`.
"""
