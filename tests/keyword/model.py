"""The two rankers written as plain Python, statement for statement.

The differential tests compare the extension module with these functions on
random input: results (including order and score types) and failures (type
and message) must be the same.
"""
import collections

import numpy


def tfidf(corpus, idf, n_word=10):
    bow = collections.Counter(corpus).items()
    tf_idf = [(w, idf.get(w, 0) * f) for w, f in bow]
    tf_idf = sorted(tf_idf, key=lambda x: x[1], reverse=True)
    return tf_idf[:n_word]


def create_nodes(corpus, window):
    edge_dict = {}
    word_list_len = len(corpus)
    for index, word in enumerate(corpus):
        if word in edge_dict.keys():
            continue
        tmp_set = set()
        left = index - window + 1
        right = index + window
        if left < 0:
            left = 0
        if right >= word_list_len:
            right = word_list_len
        for i in range(left, right):
            if i == index:
                continue
            tmp_set.add(corpus[i])
        edge_dict[word] = tmp_set
    return edge_dict


def create_matrix(corpus, edge_dict):
    matrix = numpy.zeros([len(set(corpus)), len(set(corpus))])
    word_index = {}
    index_dict = {}
    for i, v in enumerate(set(corpus)):
        word_index[v] = i
        index_dict[i] = v
    for key in edge_dict.keys():
        for w in edge_dict[key]:
            matrix[word_index[key]][word_index[w]] = 1
            matrix[word_index[w]][word_index[key]] = 1
    matrix /= matrix.sum(axis=0)
    return index_dict, matrix


def calculate_pr(matrix, alpha, n_iter):
    pr = numpy.ones([len(matrix), 1])
    for i in range(n_iter):
        pr = (1 - alpha) + alpha * numpy.dot(matrix, pr)
    return pr


def textrank(corpus, window=5, alpha=0.8, n_word=10, n_iter=10):
    edge_dict = create_nodes(corpus, window)
    index_dict, matrix = create_matrix(corpus, edge_dict)
    pr = calculate_pr(matrix, alpha, n_iter)
    word_pr = []
    for i in range(len(pr)):
        word_pr.append((index_dict[i], pr[i][0]))
    word_pr = sorted(word_pr, key=lambda x: x[1], reverse=True)
    return word_pr[:n_word]
